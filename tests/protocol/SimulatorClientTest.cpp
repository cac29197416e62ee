// The journal check of the tests' appliance (tests/support/SimulatorClient): a problem the simulator notes
// in a request fails the test that owns the instance unless the test expects it, and an expected problem
// that never came fails it too.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>

#include "LPRPC.h"
#include "LPRPCTransport.h"
#include "SimulatorClient.h"

namespace kesi {
namespace {

using test::Appliance;

// The logon call {15} sent to the appliance with extra bytes behind it.
::testing::AssertionResult SendLogon(const Appliance& appliance, const std::string& extra) {
  LPRPCStructure parameters;
  parameters.AddInteger(15);
  Utf8Buffer call;
  if (BuildCall(1, &parameters, call) != LPRPCStatus::kOk) return ::testing::AssertionFailure() << "BuildCall failed";
  std::string bytes(reinterpret_cast<const char*>(call.GetData()), call.GetLength());
  bytes += extra;
  Utf8Buffer message;
  if (message.Set(bytes.data(), static_cast<uint32_t>(bytes.size())) != 0)
    return ::testing::AssertionFailure() << "Utf8Buffer::Set failed";
  LPRPCTransportWinINet transport(nullptr);
  DWORD result = transport.Open(appliance.Server().c_str(), FALSE, nullptr, TRUE, 0, 0);
  if (!result) result = transport.Call(L"/__api__/__logon__", &message);
  if (result) return ::testing::AssertionFailure() << "the exchange failed with " << result;
  return ::testing::AssertionSuccess();
}

TEST(SimulatorClient, JournalledProblemsFailTheTestUnlessExpected) {
  EXPECT_NONFATAL_FAILURE(
      {
        Appliance appliance;
        ASSERT_EQ("", appliance.Error());
        EXPECT_TRUE(SendLogon(appliance, std::string(1, '\0')));
      },
      "problems=[\"1 bytes after the call\"]");

  {
    Appliance appliance;
    ASSERT_EQ("", appliance.Error());
    appliance.ExpectProblem("bytes after the call");
    EXPECT_TRUE(SendLogon(appliance, std::string(1, '\0')));
  }

  EXPECT_NONFATAL_FAILURE(
      {
        Appliance appliance;
        ASSERT_EQ("", appliance.Error());
        appliance.ExpectProblem("bytes after the call");
        EXPECT_TRUE(SendLogon(appliance, ""));
        appliance.Stop();
      },
      "journalled no problem containing \"bytes after the call\"");
}

}  // namespace
}  // namespace kesi
