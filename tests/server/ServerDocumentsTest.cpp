#include "server/ServerDocuments.h"

#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

std::vector<std::string> MemberNames(const TJSONValue& object) {
  std::vector<std::string> names;
  for (const auto& [name, value] : object.items()) names.push_back(name);
  return names;
}

TEST(ServerDocumentsTest, TimeZoneObjectHasItsMembersInOrderAsTheServerReadsThem) {
  auto berlin = platform::NewTimeZone("Europe/Berlin");
  const TTimeZoneRecord zone = TimeZoneRecordOf(berlin->QueryAt(1782864000));  // 2026-07-01, summer
  ASSERT_EQ(zone.Mode, TTimeZoneRecord::kTimeZoneIdDaylight);
  const TJSONValue tz = TimeZoneAsJSON(zone);
  EXPECT_EQ(MemberNames(tz), (std::vector<std::string>{"Mode", "Bias", "StandardName", "StandardBias",
                                                       "StandardDate", "DaylightName", "DaylightBias",
                                                       "DaylightDate"}));
  EXPECT_EQ(JSONWrite(tz),
            R"({"Mode":"2","Bias":"-60","StandardName":"CET","StandardBias":"0",)"
            R"("StandardDate":{"Year":0,"Month":10,"DayOfWeek":0,"Day":5,"Hour":3,"Minute":0,"Second":0,"Milliseconds":0},)"
            R"("DaylightName":"CEST","DaylightBias":"-60",)"
            R"("DaylightDate":{"Year":0,"Month":3,"DayOfWeek":0,"Day":5,"Hour":2,"Minute":0,"Second":0,"Milliseconds":0}})");
}

TEST(ServerDocumentsTest, AuthorizeDocumentLeavesOutWhatIsUnknown) {
  TAuthorizeIdentity identity{"CW001", "tok\"en", "23.1.4", "2.5.8.10", ""};
  const TTimeZoneRecord failed = TimeZoneRecordOf(std::nullopt);
  EXPECT_EQ(failed.Mode, TTimeZoneRecord::kTimeZoneIdInvalid);
  EXPECT_EQ(JSONWrite(AuthorizeDocument(identity, failed)),
            R"({"Command":"Authorize","LocCode":"CW001","Token":"tok\"en","SWVersion":"23.1.4","DCVersion":"2.5.8.10"})");

  identity.MACAddress = "00-1A-2B-3C-4D-5E";
  const TJSONValue withMac = AuthorizeDocument(identity, failed);
  EXPECT_EQ(MemberNames(withMac.at("Header")), std::vector<std::string>{"MACAddress"});

  const TTimeZoneRecord utc = TimeZoneRecordOf(platform::NewTimeZone("UTC")->QueryAt(0));
  const TJSONValue withZone = AuthorizeDocument(identity, utc);
  EXPECT_EQ(MemberNames(withZone.at("Header")), (std::vector<std::string>{"MACAddress", "Timezone"}));
  EXPECT_EQ(withZone.at("Header").at("Timezone").at("Mode"), "0");
}

TEST(ServerDocumentsTest, PostMembersWithoutStatusOrStatistics) {
  TDataCollectorConfiguration cfg;
  cfg.SetLocCode("CW001");
  cfg.SetSalesThreshold(0.5);
  TJSONValue doc = TJSONValue::object();
  PutPostMembers(doc, cfg, "2.5.8.10", "", 45000.5, nullptr, nullptr);
  EXPECT_EQ(JSONWrite(doc),
            R"({"Command":"Post","Header":{"LocCode":"CW001","WorkWeekStartDay":"0","SalesThreshold":"0.5",)"
            R"("DayOpenTimes":"","WashCountThreshold":"0","DBVersion":"","SWVersion":"","DCVersion":"2.5.8.10"},)"
            R"("Contents":{"SentDate":"45000.5"}})");
}

TEST(ServerDocumentsTest, AnswerInt32AcceptsExactlyTheSigned32BitRange) {
  struct Case {
    TJSONValue value;
    bool fits;
    int32_t expected;
  };
  const Case cases[] = {
      {TJSONValue(2147483647), true, 2147483647},
      {TJSONValue(-2147483648LL), true, -2147483647 - 1},
      {TJSONValue("300"), true, 300},
      {TJSONValue(2.5), true, 2},
      {TJSONValue(2147483648LL), false, 0},
      {TJSONValue(-2147483649LL), false, 0},
      {TJSONValue(4294967296LL), false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    if (c.fits) {
      EXPECT_EQ(AnswerInt32(c.value), c.expected);
    } else {
      EXPECT_THROW(AnswerInt32(c.value), ERangeError);
    }
  }
}

}  // namespace
