// The pass sums and the sale employees are read for a whole phase in a few
// statements instead of one per sale. Every sale image must come out byte for
// byte as the lookup of each sale alone makes it: over a generated site and
// over the cases that decide the values (voided sales, passes not counted,
// null amounts, two employees for one profit center, a sale read twice).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"
#include "firebird/SiteDatabase.h"
#include "model/SaleRecord.h"
#include "support/RetrievalSite.h"

namespace {

// The statements for one sale: what each sale's values must equal.
const char kPassSumsOfOneSale[] =
    "select sum(iif(SAP.Status = 0, 1, 0)) RivoCarCount, sum(SAP.Amount) RivoSalesAmount, "
    "sum(SAP.Upsell) RivoAdditionalAmount from SalePasses SAP where Site = 1 and SaleID = "
    ":SaleID and SAP.Status <= 40";
const char kEmployeesOfOneSale[] =
    "SELECT se.Employee, se.EmpRole, se.ProfitCenter FROM SaleEmployees se LEFT JOIN EmpRole er "
    "on er.objid = se.emprole WHERE se.Site = :Site and se.SaleID = :SaleID and er.Typ = 30";

TSiteFixtureOptions GeneratedSite() {
  TSiteFixtureOptions options;
  options.Sales = 400;
  options.Days = 2;
  options.LastDay = DateOf(DateTimeNow()) - 1;
  options.Seed = 11;
  return options;
}

// The image the lookups of one sale alone give: the record's own header and
// SaleFacts values, with the pass sums and the employees looked up per sale.
std::vector<uint8_t> ImageFromLookupsOfOneSale(TSiteDatabase& db, const TSaleRecord& sale) {
  TSaleRecord expected = sale;
  expected.SalesRoles.clear();
  expected.ActiveRolesMap = 0;

  TSiteQuery passes(db, kPassSumsOfOneSale);
  passes.SetInteger("SaleID", sale.SaleID);
  passes.Open();
  double cars = 0, amount = 0, upsell = 0;
  if (sale.Status != -9 && !passes.Eof()) {
    cars = static_cast<double>(passes.AsInteger("RivoCarCount"));
    amount = passes.AsFloat("RivoSalesAmount");
    upsell = passes.AsFloat("RivoAdditionalAmount");
  }
  passes.Close();
  expected.AddFact(0, TSaleRecord::kRivoCarCountFactID, cars);
  expected.AddFact(0, TSaleRecord::kRivoSalesAmountFactID, amount);
  expected.AddFact(0, TSaleRecord::kRivoAdditionalAmountFactID, upsell);

  TSiteQuery employees(db, kEmployeesOfOneSale);
  employees.SetInteger("Site", 1);
  employees.SetInteger("SaleID", sale.SaleID);
  for (employees.Open(); !employees.Eof(); employees.Next()) {
    expected.AddRowFromSaleEmployeesQuery(employees);
  }
  return expected.BinaryImage();
}

TEST(BatchedLookupsTest, EverySaleImageEqualsTheLookupsOfThatSaleAlone) {
  TRetrievalSite site(GeneratedSite());
  const TDateTime today = DateOf(DateTimeNow());
  // The cases that decide the values, today.
  const TDateTime at = today + 6.0 / 24;
  site.AddSale({.Id = 90001, .Modified = at, .Status = -9});  // voided: zeros
  site.AddPass(90001, 0, 5.0, 1.0);
  site.AddSale({.Id = 90002, .Modified = at});  // only passes not counted
  site.AddPass(90002, 41, 5.0, 1.0);
  site.AddPass(90002, 99, 2.0, 0.0);
  site.AddSale({.Id = 90003, .Modified = at});  // counted passes around ignored ones
  site.AddPass(90003, 0, 7.25, 0.5);
  site.AddPass(90003, 40, 1.1, 0.0);
  site.AddPass(90003, 41, 100.0, 100.0);
  site.AddPass(90003, 0, 0.35, 0.0);
  site.AddSale({.Id = 90004, .Modified = at});  // null amounts
  site.Exec("INSERT INTO SalePasses (Site, SaleID, Status, Amount, Upsell) VALUES (1, 90004, 0, "
            "NULL, NULL)");
  site.AddSale({.Id = 90005, .Modified = at});  // no passes at all
  site.AddFact(90005, TSaleRecord::kRivoSalesAmountFactID, 0, 9.5);  // replaced by the sums
  // Two employees for one profit center: the one stored last wins, as with
  // the lookup of the sale alone; a role not of type 30 is not read.
  site.Exec("INSERT INTO EmpRole (ObjID, ProfitCenter, Typ, Name) VALUES (9011, 1, 30, 'Lavador')");
  site.Exec("INSERT INTO EmpRole (ObjID, ProfitCenter, Typ, Name) VALUES (9012, 2, 20, 'Caja')");
  site.AddSale({.Id = 90006, .Modified = at});
  site.AddSaleEmployee(90006, 2001, 9011, 1);
  site.AddSaleEmployee(90006, 2002, 9011, 1);
  site.AddSaleEmployee(90006, 2003, 9012, 2);
  site.AddSaleEmployee(90006, 2004, 9011, 5);

  // The whole generated load as the current window and again as the history
  // slice, so that sales are read twice, and a first cycle (no employee cache).
  std::vector<std::string> log;
  TRetrievalCollector collector(log);
  collector.Attach();
  ASSERT_TRUE(collector.HasSalePasses());
  auto data = collector.RetrieveAndEnd(RetrievalStatus(today - 3, DateTimeNow(), today - 2, today));
  ASSERT_GT(data->SalesData().size(), 400u);

  TSiteDatabase& db = site.Writer();
  db.StartTransaction();
  size_t checked = 0;
  for (const auto& sale : data->SalesData()) {
    SCOPED_TRACE("sale " + std::to_string(sale->SaleID));
    EXPECT_EQ(sale->BinaryImage(), ImageFromLookupsOfOneSale(db, *sale));
    ++checked;
  }
  db.Commit();
  EXPECT_EQ(checked, data->SalesData().size());
}

}  // namespace
