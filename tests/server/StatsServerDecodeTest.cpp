// The test statistics server's decoder of sale and punch images, checked on
// images written out byte by byte.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "server/HttpClient.h"
#include "support/StatsServer.h"

namespace {

TEST(StatsServerDecodeTest, PostedImagesAreDecodedIntoTheirFields) {
  StatsServer server;
  // Sale 1001 of 59 bytes: employee 55 in profit center 1, fact 54181 = 12.5
  // in profit center 0, fact 54200 = 3.0 in profit center 5. Punch of 40 bytes.
  const std::string sale = "AgAJAOkDAAAAAAAAEPnlQAAAAAAI+eVAAgMAAAABADcAAAABAAAAAAAAAAAAKUACAAAAAAAAAAAACEA=";
  const std::string punch = "AAAAAAD55UAEAAAA4AGAcAAA/AMQ7wAAAAAAAAAAKUAAAAAAAADwPw==";
  const std::string document = R"({"Command":"Post","SalesDataJSON":[{"SalesData":")" + sale +
                               R"("}],"LaborData":[{"Employee":"55","Punches":[")" + punch + R"("]}]})";
  THttpClient client;
  client.EnableTLS();
  PostJSONDocument(client, server.url(), JSONRequestBody(document));

  const auto decoded = nlohmann::json::parse(server.decoded(0));
  const auto& s = decoded["SalesDataJSON"][0]["SalesData"];
  EXPECT_EQ(s["SaleID"], 1001);
  EXPECT_EQ(s["PaidTime"], 45000.5);
  EXPECT_EQ(s["CreatedTime"], 45000.25);
  EXPECT_EQ(s["Shift"], 2);
  EXPECT_EQ(s["Terminal"], 3);
  EXPECT_EQ(s["Status"], 1);
  EXPECT_EQ(s["Employees"], nlohmann::json::parse(R"({"1":55})"));
  EXPECT_EQ(s["ProfitCenters"]["0"]["Facts"]["54181"], 12.5);
  EXPECT_EQ(s["ProfitCenters"]["5"]["Facts"]["54200"], 3.0);
  EXPECT_EQ(s["Size"], 59);
  const auto& p = decoded["LaborData"][0]["Punches"][0];
  EXPECT_EQ(p, nlohmann::json::parse(R"({"PunchDate":45000.0,"Role":4,"InTime":480,"ActualInTime":28800,
      "OutTime":1020,"ActualOutTime":61200,"Rate":12.5,"Multiplier":1.0})"));
}

}  // namespace
