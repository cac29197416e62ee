#include "EvaluationRun.h"

namespace kesi {

namespace {

thread_local EvaluationRun* t_run = nullptr;

}  // namespace

EvaluationRun::EvaluationRun() noexcept : outermost_(t_run == nullptr) {
  if (outermost_) t_run = this;
}

EvaluationRun::~EvaluationRun() {
  if (outermost_) t_run = nullptr;
}

EvaluationRun* EvaluationRun::Current() noexcept { return t_run; }

}  // namespace kesi
