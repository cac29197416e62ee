#pragma once
// An interrogation engine of one test's own, and what the tests read back from it.
#include <windows.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "SystemInterrogator.h"
#include "TestText.h"

namespace kesi::test {

// A new engine, released with the object.
class TestEngine {
 public:
  TestEngine() { engine_.attach(new SystemInterrogator()); }

  SystemInterrogator* operator->() const { return engine_.get(); }
  SystemInterrogator* get() const { return engine_.get(); }

  // The literal ids in list order (newest first).
  std::vector<std::string> LiteralIds() const {
    std::vector<std::string> ids;
    for (LiteralSI* l = engine_->FirstLiteral(); l; l = l->Next()) ids.push_back(Narrow(l->LiteralId()));
    return ids;
  }
  // "name=value" per result in list order.
  std::vector<std::string> Results() const {
    std::vector<std::string> out;
    for (ResultSI* r = engine_->FirstResult(); r; r = r->Next())
      out.push_back(std::string(r->NameUtf8()) + "=" + std::to_string(r->Value()));
    return out;
  }

 private:
  ComPtr<SystemInterrogator> engine_;
};

}  // namespace kesi::test
