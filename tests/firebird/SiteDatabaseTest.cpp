#include "firebird/SiteDatabase.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "Shared/Orvel_Shared/AnsiText.h"

#include "Shared/Orvel_Shared/DBCredentials.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "support/FixtureDatabase.h"
#include "support/SiteTestCollector.h"

namespace {

// The text of the SQL as the server receives it, and the parameter names found.
TEST(SiteQueryText, NamedParametersBecomePositionalMarkers) {
  struct Case {
    const char* sql;
    const char* server;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"select * from Sale where Site = :Site and ObjID = :SaleID",
       "select * from Sale where Site = ? and ObjID = ?", {"Site", "SaleID"}},
      {"select * from Employee where HomeSite = :Site or ActiveAt = :site",
       "select * from Employee where HomeSite = ? or ActiveAt = ?", {"Site"}},
      {"select ':NotAParam', \"odd:name\" from T where a = :A",
       "select ':NotAParam', \"odd:name\" from T where a = ?", {"A"}},
      {"select 'it''s :x' from T where b = :B_1$", "select 'it''s :x' from T where b = ?", {"B_1$"}},
      {"select a -- :comment\n from T /* :block */ where c=:C",
       "select a -- :comment\n from T /* :block */ where c=?", {"C"}},
      {"select a from T where t = :1", "select a from T where t = :1", {}},
      {"CREATE OR ALTER TRIGGER X FOR T AS declare v int; begin v = :v; end",
       "CREATE OR ALTER TRIGGER X FOR T AS declare v int; begin v = :v; end", {}},
  };
  TSiteDatabase database;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    TSiteQuery query(database, c.sql);
    EXPECT_EQ(query.ServerSQL(), c.server);
    EXPECT_EQ(query.ParamNames(), c.names);
  }
}

TEST(SiteQueryText, SettingAnUnknownParameterRaises) {
  TSiteDatabase database;
  TSiteQuery query(database, "select 1 from rdb$database where 1 = :One");
  EXPECT_NO_THROW(query.SetInteger("ONE", 1));
  EXPECT_THROW(query.SetInteger("Two", 2), EDatabaseError);
}

// Every row of the generated load, as text, in a fixed order.
std::string LoadText(const TFixtureDatabase& fixture) {
  TSiteDatabase database;
  fixture.Connect(database);
  database.StartTransaction();
  std::string text;
  for (const char* sql :
       {"select ObjID, Terminal, ActualSaleID, Shift, Status, LogDate, LogTime, Created, Modified "
        "from Sale order by ObjID",
        "select SaleID, Fact, ProfitCenter, Data from SaleFacts order by SaleID, Fact, ProfitCenter, Data",
        "select SaleID, Status, Amount, Upsell from SalePasses order by 1, 2, 3, 4",
        "select SaleID, Employee, EmpRole, ProfitCenter from SaleEmployees order by 1, 2, 3, 4",
        "select ObjID, Employee, PunchDate, PiType, Department, InTime, OutTime, ActualIn, "
        "ActualOut, Rate, Multiplier from PunchInterval order by ObjID",
        "select ObjID, Name, Category, HomeSite, Enabled, Code, ActiveAt, TermDate from Employee "
        "order by ObjID"}) {
    TSiteQuery query(database, sql);
    for (query.Open(); !query.Eof(); query.Next()) {
      for (size_t i = 0; i < query.FieldCount(); ++i) text += query.AsString(query.FieldName(i)) + "|";
      text += "\n";
    }
  }
  return text;
}

TEST(SiteFixture, TheSameSeedGivesTheSameRows) {
  TSiteFixtureOptions options;
  options.Sales = 300;
  options.Days = 3;
  options.Seed = 5;
  options.LastDay = EncodeDateTime(2024, 3, 7);
  const TFixtureDatabase first(options);
  const TFixtureDatabase second(options);
  options.Seed = 6;
  const TFixtureDatabase other(options);

  EXPECT_EQ(first.Summary().Sales, 300);
  EXPECT_GT(first.Summary().SaleFacts, 3 * 300);
  EXPECT_GT(first.Summary().Punches, 0);
  const std::string text = LoadText(first);
  EXPECT_EQ(text, LoadText(second));
  EXPECT_NE(text, LoadText(other));
  EXPECT_NE(text.find("3/5/2024"), std::string::npos);  // the first of the three days
  EXPECT_EQ(text.find("3/4/2024 "), std::string::npos);
}

class SiteDatabaseTest : public testing::TestWithParam<TConnectionMode> {
 protected:
  void SetUp() override {
    if (GetParam() == TConnectionMode::Server && FirebirdServer().empty()) {
      GTEST_SKIP() << "DC_FIREBIRD_SERVER is not set: the client/server path is not tested";
    }
    TSiteFixtureOptions options;
    options.Sales = 40;
    options.Days = 2;
    options.LastDay = EncodeDateTime(2024, 3, 7);
    fixture_ = std::make_unique<TFixtureDatabase>(options, GetParam());
    fixture_->Connect(db_);
    db_.StartTransaction();
  }

  int64_t Count(const std::string& sql) {
    TSiteQuery query(db_, sql);
    query.Open();
    return query.AsInteger("CNT");
  }

  std::unique_ptr<TFixtureDatabase> fixture_;
  TSiteDatabase db_;
};

TEST_P(SiteDatabaseTest, ConnectsAndDisconnects) {
  EXPECT_TRUE(db_.Connected());
  EXPECT_EQ(db_.DatabaseName(), fixture_->Name());
  db_.Disconnect();
  EXPECT_FALSE(db_.Connected());
  EXPECT_FALSE(db_.InTransaction());
  db_.Disconnect();  // a second time does nothing
  fixture_->Connect(db_);
  EXPECT_TRUE(db_.Connected());
}

TEST_P(SiteDatabaseTest, ConnectFailureCarriesFirebirdsMessage) {
  TSiteDatabase other;
  const std::string missing = fixture_->Mode() == TConnectionMode::Embedded
                                  ? fixture_->Path() + ".missing"
                                  : FirebirdServer() + ":" + fixture_->Path() + ".missing";
  try {
    other.Connect(missing, DBUserName(), DBPassword());
    FAIL() << "connected to a missing database";
  } catch (const EDatabaseError& error) {
    EXPECT_NE(std::string(error.what()).find("I/O error"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(other.Connected());
}

// The embedded engine checks no password; a server must, and the refusal
// names the login that was refused.
TEST(SiteDatabaseServer, RefusesAWrongLoginAndNamesIt) {
  if (FirebirdServer().empty()) {
    GTEST_SKIP() << "DC_FIREBIRD_SERVER is not set: the client/server path is not tested";
  }
  const TFixtureDatabase fixture({}, TConnectionMode::Server);
  const struct {
    const char* name;
    std::string user;
    std::string password;
  } cases[] = {
      {"wrong password", DBUserName(), "not-the-password"},
      {"unknown user", "NO_SUCH_LOGIN", "whatever"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSiteDatabase database;
    try {
      database.Connect(fixture.Name(), c.user, c.password);
      ADD_FAILURE() << "the login was accepted";
    } catch (const EDatabaseLoginError& e) {
      EXPECT_NE(std::string(e.what()).find("login \"" + c.user + "\""), std::string::npos) << e.what();
    }
    EXPECT_FALSE(database.Connected());
    EXPECT_NO_THROW(fixture.Connect(database));
  }
}

TEST_P(SiteDatabaseTest, TransactionStateIsEnforced) {
  EXPECT_TRUE(db_.InTransaction());
  EXPECT_THROW(db_.StartTransaction(), EDatabaseError);
  db_.Commit();
  EXPECT_FALSE(db_.InTransaction());
  EXPECT_THROW(db_.Commit(), EDatabaseError);
  EXPECT_THROW(db_.Rollback(), EDatabaseError);
  TSiteQuery query(db_, "select 1 one from rdb$database");
  EXPECT_THROW(query.Open(), EDatabaseError);  // needs a transaction
}

TEST_P(SiteDatabaseTest, RollbackUndoesAndCommitKeeps) {
  TSiteQuery update(db_, "update Employee set Name = 'x' where ObjID = :ID");
  update.SetInteger("ID", SiteFixtureIds::kFirstEmployee);
  EXPECT_EQ(update.ExecSQL(), 1);
  db_.Rollback();
  db_.StartTransaction();
  EXPECT_EQ(Count("select count(*) cnt from Employee where Name = 'x'"), 0);
  EXPECT_EQ(update.ExecSQL(), 1);  // the prepared statement outlives the transaction
  db_.Commit();
  db_.StartTransaction();
  EXPECT_EQ(Count("select count(*) cnt from Employee where Name = 'x'"), 1);
}

TEST_P(SiteDatabaseTest, ValuesRoundTripExactly) {
  TSiteQuery ddl(db_, "create table RoundTrip (Id int, I bigint, D double precision, "
                      "T varchar(40), TS timestamp, DT date)");
  EXPECT_EQ(ddl.ExecSQL(), 0);
  db_.Commit();
  db_.StartTransaction();

  struct Row {
    int64_t i;
    double d;
    std::string t;
    TDateTime ts;
  };
  const Row rows[] = {
      {0, 0.0, "", 0.0},
      {-2147483648LL, -1.5, "plain", EncodeDateTime(2024, 3, 7, 14, 5, 9, 123)},
      {9007199254740993LL, 1e300, "Renée García", EncodeDateTime(2024, 2, 29, 23, 59, 59, 999)},
      {42, 0.1 + 0.2, "colon: and 'quote'", EncodeDateTime(1850, 6, 15, 10, 30, 0, 1)},
      {7, 2.5, std::string(40, 'w'), EncodeDateTime(9999, 12, 31, 23, 59, 59, 999)},
  };
  TSiteQuery insert(db_, "insert into RoundTrip values (:Id, :I, :D, :T, :TS, :DT)");
  for (size_t n = 0; n < std::size(rows); ++n) {
    insert.SetInteger("Id", static_cast<int64_t>(n));
    insert.SetInteger("I", rows[n].i);
    insert.SetDouble("D", rows[n].d);
    insert.SetText("T", rows[n].t);
    insert.SetTimestamp("TS", rows[n].ts);
    insert.SetDate("DT", rows[n].ts);
    EXPECT_EQ(insert.ExecSQL(), 1);
  }
  db_.Commit();
  db_.Disconnect();
  fixture_->Connect(db_);
  db_.StartTransaction();

  TSiteQuery select(db_, "select * from RoundTrip where Id = :Id");
  for (size_t n = 0; n < std::size(rows); ++n) {
    SCOPED_TRACE(n);
    select.SetInteger("Id", static_cast<int64_t>(n));
    select.Open();
    ASSERT_FALSE(select.Eof());
    EXPECT_EQ(select.AsInteger("I"), rows[n].i);
    EXPECT_EQ(select.AsFloat("d"), rows[n].d);
    EXPECT_EQ(select.AsString("T"), rows[n].t);
    EXPECT_EQ(select.AsDateTime("TS"), rows[n].ts);
    EXPECT_EQ(DateTimeToMilliseconds(select.AsDateTime("TS")), DateTimeToMilliseconds(rows[n].ts));
    EXPECT_EQ(select.AsDateTime("DT"), DateOf(rows[n].ts));
    select.Next();
    EXPECT_TRUE(select.Eof());
    select.Close();
  }
}

TEST_P(SiteDatabaseTest, TimestampsAreWallClockValues) {
  // The server sees the calendar fields that were set, and a literal reads
  // back as the same fields: no time-zone shift on either way.
  TSiteQuery query(db_, "select extract(year from ts) y, extract(month from ts) mo, "
                        "extract(day from ts) d, extract(hour from ts) h, extract(minute from ts) mi, "
                        "extract(millisecond from ts) ms, cast('2024-03-10 02:30:00.250' as timestamp) lit "
                        "from (select cast(:TS as timestamp) ts from rdb$database)");
  query.SetTimestamp("TS", EncodeDateTime(2024, 3, 10, 2, 30, 0, 250));
  query.Open();
  EXPECT_EQ(query.AsInteger("Y"), 2024);
  EXPECT_EQ(query.AsInteger("MO"), 3);
  EXPECT_EQ(query.AsInteger("D"), 10);
  EXPECT_EQ(query.AsInteger("H"), 2);
  EXPECT_EQ(query.AsInteger("MI"), 30);
  EXPECT_EQ(query.AsFloat("MS"), 250.0);
  EXPECT_EQ(query.AsDateTime("LIT"), EncodeDateTime(2024, 3, 10, 2, 30, 0, 250));
}

TEST_P(SiteDatabaseTest, NullReadsAsZeroOrEmpty) {
  TSiteQuery query(db_, "select cast(null as int) i, cast(null as double precision) d, "
                        "cast(null as varchar(5)) t, cast(null as timestamp) ts, "
                        "sum(ObjID) s from Employee where ObjID < 0");
  query.Open();
  ASSERT_FALSE(query.Eof());
  for (const char* name : {"I", "D", "T", "TS", "S"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(query.IsNull(name));
    EXPECT_EQ(query.AsInteger(name), 0);
    EXPECT_EQ(query.AsFloat(name), 0.0);
    EXPECT_EQ(query.AsString(name), "");
  }
  EXPECT_EQ(query.AsDateTime("TS"), 0.0);
}

TEST_P(SiteDatabaseTest, ColumnsByNameFirstOfANameWins) {
  TSiteQuery query(db_, "select 1 as Dup, 2 as dup, 'x' Other from rdb$database");
  query.Open();
  EXPECT_EQ(query.AsInteger("DUP"), 1);
  EXPECT_EQ(query.AsInteger("dup"), 1);
  EXPECT_TRUE(query.HasField("other"));
  EXPECT_FALSE(query.HasField("missing"));
  EXPECT_THROW(query.AsInteger("missing"), EDatabaseError);

  // "s.*, sf.*": Site of Sale comes first; SaleID, Fact, Data name the SaleFacts columns.
  TSiteQuery join(db_, "select s.*, sf.* from Sale s join SaleFacts sf on sf.Site = s.Site "
                       "and sf.SaleID = s.ObjID where s.ObjID = :ID order by sf.Fact");
  join.SetInteger("ID", 1);
  join.Open();
  ASSERT_FALSE(join.Eof());
  EXPECT_EQ(join.AsInteger("SaleID"), 1);
  EXPECT_EQ(join.AsInteger("Site"), 1);
  EXPECT_EQ(join.AsInteger("Fact"), 1);
  EXPECT_GT(join.AsFloat("Data"), 0.0);
}

TEST_P(SiteDatabaseTest, IteratesRowsToEof) {
  TSiteQuery query(db_, "select ObjID from Sale where Site = :Site order by ObjID");
  query.SetInteger("Site", 1);
  query.Open();
  int64_t rows = 0;
  int64_t last = 0;
  while (!query.Eof()) {
    EXPECT_GT(query.AsInteger("ObjID"), last);
    last = query.AsInteger("ObjID");
    ++rows;
    query.Next();
  }
  EXPECT_EQ(rows, fixture_->Summary().Sales);
  EXPECT_THROW(query.AsInteger("ObjID"), EDatabaseError);  // no current row
  EXPECT_THROW(query.Open(), EDatabaseError);              // still open
  query.Close();

  query.SetInteger("Site", 99);
  query.Open();
  EXPECT_TRUE(query.Eof());
}

TEST_P(SiteDatabaseTest, ExecSQLCountsAffectedRows) {
  TSiteQuery update(db_, "update Sale set Shift = Shift where Site = :Site and ObjID <= :Last");
  update.SetInteger("Site", 1);
  update.SetInteger("Last", 10);
  EXPECT_EQ(update.ExecSQL(), 10);
  update.SetInteger("Last", 0);
  EXPECT_EQ(update.ExecSQL(), 0);
  TSiteQuery remove(db_, "delete from SalePasses");
  EXPECT_EQ(remove.ExecSQL(), fixture_->Summary().SalePasses);
}

TEST_P(SiteDatabaseTest, CommitStatementContinuesInAFreshTransaction) {
  TSiteQuery(db_, "create table Scratch (A int)").ExecSQL();
  TSiteQuery(db_, "COMMIT").ExecSQL();  // the table exists from here on
  EXPECT_TRUE(db_.InTransaction());
  TSiteQuery(db_, "insert into Scratch values (1)").ExecSQL();
  TSiteQuery(db_, " commit ; ").ExecSQL();
  TSiteQuery(db_, "insert into Scratch values (2)").ExecSQL();
  db_.Rollback();
  db_.StartTransaction();
  EXPECT_EQ(Count("select count(*) cnt from Scratch"), 1);
}

TEST_P(SiteDatabaseTest, ErrorsCarryFirebirdsMessage) {
  TSiteQuery query(db_, "select * from NoSuchTable");
  try {
    query.Open();
    FAIL() << "opened a missing table";
  } catch (const EDatabaseError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("Table unknown"), std::string::npos) << message;
    EXPECT_NE(message.find("NOSUCHTABLE"), std::string::npos) << message;
  }
  EXPECT_THROW(TSiteQuery(db_, "insert into Sale (Site) values (1)").ExecSQL(), EDatabaseError);
}

TEST_P(SiteDatabaseTest, PreparedQuerySurvivesReconnect) {
  TSiteQuery query(db_, "select count(*) cnt from Sale where Site = :Site");
  query.SetInteger("Site", 1);
  query.Prepare();
  EXPECT_TRUE(query.Prepared());
  db_.Disconnect();
  EXPECT_FALSE(query.Prepared());
  fixture_->Connect(db_);
  db_.StartTransaction();
  query.Open();  // prepared again on the new attachment, parameter values kept
  EXPECT_EQ(query.AsInteger("cnt"), fixture_->Summary().Sales);
}

// The fixture's names reach the database as Windows-1252 and read back as
// the same characters; a parameter compares with them as text.
TEST_P(SiteDatabaseTest, AnsiTextReadsAsItsCharacters) {
  TSiteQuery query(db_, "select Name, octet_length(Name) bytes, char_length(Name) chars from Employee "
                        "where Name containing :Part");
  query.SetText("Part", "ç");
  query.Open();
  int found = 0;
  for (; !query.Eof(); query.Next()) {
    EXPECT_NE(query.AsString("Name").find("ç"), std::string::npos) << query.AsString("Name");
    EXPECT_EQ(query.AsInteger("bytes"), query.AsInteger("chars"));  // one byte a character
    ++found;
  }
  EXPECT_GT(found, 0);
  TSiteQuery all(db_, "select count(*) cnt from Employee where Name like '%' || ascii_char(231) || '%'");
  all.Open();
  EXPECT_EQ(found, all.AsInteger("cnt"));
}

// Each column's text is written in its own character set and read back as
// the characters written; what the set cannot hold is stored as "?".
TEST_P(SiteDatabaseTest, TextTravelsInEachColumnsCharacterSet) {
  struct Case {
    const char* column;
    std::string written;
    std::string read;
    std::string stored;  // the bytes in the database
  };
  const Case cases[] = {
      {"Plain", "Zoë € Ł", "Zoë € ?", "Zo\xEB \x80 ?"},
      {"Ansi", "Café staff", "Café staff", "Caf\xE9 staff"},
      {"Uni", "Garçía Ł 日", "Garçía Ł 日", "Gar\xC3\xA7\xC3\xAD" "a \xC5\x81 \xE6\x97\xA5"},
      {"Fss", "AUDÉ1", "AUDÉ1", "AUD\xC3\x89" "1"},
      {"Latin", "Zoë €", "Zoë ?", "Zo\xEB ?"},
      {"Cyr", "Кафе é", "Кафе ?", "\xCA\xE0\xF4\xE5 ?"},
      // A CHAR column of a multi-byte set is stored padded to its length in
      // characters and read padded to its length in bytes.
      {"Fixed", "Zoë", "Zoë" + std::string(20, ' '), "Zo\xC3\xAB   "},
  };
  TSiteQuery(db_, "create table Texts (Id int, Plain varchar(20) character set none, "
                  "Ansi varchar(20) character set win1252, Uni varchar(20) character set utf8, "
                  "Fss varchar(20) character set unicode_fss, Latin varchar(20) character set "
                  "iso8859_1, Cyr varchar(20) character set win1251, Fixed char(6) character set "
                  "utf8)").ExecSQL();
  db_.Commit();
  db_.StartTransaction();
  for (size_t n = 0; n < std::size(cases); ++n) {
    const Case& c = cases[n];
    SCOPED_TRACE(c.column);
    TSiteQuery insert(db_, std::string("insert into Texts (Id, ") + c.column + ") values (:Id, :Text)");
    insert.SetInteger("Id", static_cast<int64_t>(n));
    insert.SetText("Text", c.written);
    insert.ExecSQL();

    TSiteQuery select(db_, std::string("select ") + c.column + " Text, cast(" + c.column +
                               " as varchar(100) character set octets) Raw from Texts where " +
                               c.column + " = :Text");
    select.SetText("Text", c.read);
    select.Open();
    ASSERT_FALSE(select.Eof());
    EXPECT_EQ(select.AsString("Text"), c.read);
    EXPECT_EQ(select.AsString("Raw"), AnsiToUtf8(c.stored));  // octets read byte for byte
    select.Close();
  }

  // A text parameter's limit is on its bytes in the target's character set.
  TSiteQuery length(db_, "select char_length(cast(:Text as varchar(32765) character set win1252)) n "
                         "from rdb$database");
  std::string accents;
  for (int i = 0; i < 20000; ++i) accents += "é";  // 40000 bytes in UTF-8, 20000 in the target
  length.SetText("Text", accents);
  length.Open();
  EXPECT_EQ(length.AsInteger("N"), 20000);
  length.Close();
  length.SetText("Text", std::string(32766, 'a'));
  EXPECT_THROW(length.Open(), EDatabaseError);
}

// NUMERIC and DECIMAL values in 16, 32 and 64 bits at scales 0 to 4 read as
// the double nearest their decimal value (0.35, not 0.35000000000000003), as
// that value rounded half away from zero, and as their exact text.
TEST_P(SiteDatabaseTest, ScaledIntegersReadAsTheirDecimalValue) {
  struct Case {
    const char* text;
    int64_t integer;
  };
  const Case cases[] = {
      {"0", 0},          {"42", 42},         {"0.35", 0},        {"1.15", 1},
      {"2.675", 3},      {"1.005", 1},       {"4.35", 4},        {"8.2", 8},
      {"0.7", 1},        {"3.3", 3},         {"0.57", 1},        {"-0.35", 0},
      {"-2.675", -3},    {"2.5", 3},         {"-1.5", -2},       {"0.0001", 0},
      {"12345678901234.5678", 12345678901235},
      {"900719925474098.5", 900719925474099},  // beyond 2^53 as a scaled integer
      {"-92233720368547.7581", -92233720368548},
  };
  const struct {
    int precision;
    double limit;  // of the scaled integer
  } storages[] = {{4, 32767}, {9, 2147483647}, {18, 9.3e18}};
  int checked = 0;
  for (const Case& c : cases) {
    const std::string text = c.text;
    const size_t point = text.find('.');
    const int decimals = point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
    const double value = std::strtod(c.text, nullptr);
    for (int scale = decimals; scale <= 4; ++scale) {
      for (const auto& storage : storages) {
        if (std::fabs(value) * std::pow(10.0, scale) > storage.limit) continue;
        const std::string type =
            "numeric(" + std::to_string(storage.precision) + "," + std::to_string(scale) + ")";
        SCOPED_TRACE(text + " as " + type);
        TSiteQuery query(db_, "select cast(" + text + " as " + type + ") n from rdb$database");
        query.Open();
        EXPECT_EQ(query.AsFloat("N"), value);
        EXPECT_EQ(query.AsInteger("N"), c.integer);
        EXPECT_EQ(query.AsString("N"), text);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 100);
}

TEST_P(SiteDatabaseTest, CancelOperationInterruptsALongStatement) {
  TSiteQuery query(db_, "select count(*) cnt from rdb$fields a, rdb$fields b, rdb$fields c, "
                        "rdb$fields d");
  query.Prepare();
  std::thread canceller([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    db_.CancelOperation();
  });
  const auto started = std::chrono::steady_clock::now();
  try {
    query.Open();
    ADD_FAILURE() << "the statement ran to its end";
  } catch (const EDatabaseError& error) {
    EXPECT_NE(std::string(error.what()).find("cancelled"), std::string::npos) << error.what();
  }
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  // The connection stays usable.
  db_.Rollback();
  db_.StartTransaction();
  EXPECT_EQ(Count("select count(*) cnt from rdb$database"), 1);
}

// The collector's session: OpenDatabase on fixture databases.
class DatabaseSessionTest : public testing::TestWithParam<TConnectionMode> {
 protected:
  void SetUp() override {
    if (GetParam() == TConnectionMode::Server && FirebirdServer().empty()) {
      GTEST_SKIP() << "DC_FIREBIRD_SERVER is not set: the client/server path is not tested";
    }
  }

  // A fixture database with options, changed by sql (run by the site), and a
  // collector configured for it.
  void Make(const TSiteFixtureOptions& options, const std::vector<std::string>& sql = {},
            const std::string& stage = "19.2.5.1", const std::string& locCode = "TST001") {
    fixture_ = std::make_unique<TFixtureDatabase>(options, GetParam());
    if (!sql.empty()) {
      TSiteDatabase site;
      fixture_->Connect(site);
      site.StartTransaction();
      for (const std::string& statement : sql) TSiteQuery(site, statement).ExecSQL();
      site.Commit();
    }
    TSiteRegistry registry;
    registry.Database = fixture_->Name();
    registry.Stage = stage;
    registry.LocCode = locCode;
    collector_.Configure(registry);
  }

  std::unique_ptr<TFixtureDatabase> fixture_;
  TSiteTestCollector collector_;
};

TEST_P(DatabaseSessionTest, ReadsTheSiteRowAndPreparesThePassSums) {
  Make({});
  EXPECT_TRUE(collector_.OpenDatabase());
  EXPECT_EQ(collector_.TakeLines(), std::vector<std::string>{"Connecting to " + fixture_->Name()});
  EXPECT_TRUE(collector_.Database().Connected());
  EXPECT_FALSE(collector_.Database().InTransaction());

  const TDataCollectorConfiguration& cfg = collector_.Cfg();
  EXPECT_EQ(cfg.DBSite(), 1);
  EXPECT_EQ(cfg.DBFileVersion(), "19.2.0.0");
  EXPECT_EQ(cfg.LocCode(), "TST001");
  EXPECT_EQ(cfg.WorkWeekStartDay(), 2);
  EXPECT_EQ(cfg.DayOpenTimes().substr(0, 12), "07:00-20:00,");
  EXPECT_EQ(cfg.SalesThreshold(), 1500.5);
  EXPECT_EQ(cfg.WashCountThreshold(), 25);
  EXPECT_EQ(cfg.RivoRechargeTerminal(), SiteFixtureIds::kRivoTerminal);

  // The pass sums: status 0 counts a car, statuses above 40 are left out.
  TSiteDatabase site;
  fixture_->Connect(site);
  site.StartTransaction();
  TSiteQuery(site, "insert into Sale (Site, ObjID) values (1, 1)").ExecSQL();
  for (const char* pass : {"(1, 1, 0, 10.5, 1.0)", "(1, 1, 0, 20.0, 2.0)", "(1, 1, 40, 5.0, 0.5)",
                           "(1, 1, 41, 100.0, 100.0)", "(2, 1, 0, 100.0, 100.0)"}) {
    TSiteQuery(site, std::string("insert into SalePasses values ") + pass).ExecSQL();
  }
  site.Commit();
  site.Disconnect();

  TSiteQuery* passes = collector_.SalePassesQuery();
  ASSERT_NE(passes, nullptr);
  EXPECT_EQ(passes->SQL(),
            "select sum(iif(SAP.Status = 0, 1, 0)) RivoCarCount, sum(SAP.Amount) RivoSalesAmount, "
            "sum(SAP.Upsell) RivoAdditionalAmount from SalePasses SAP where Site = :Site and "
            "SaleID = :SaleID and SAP.Status <= 40");
  collector_.StartTransaction();
  passes->SetInteger("SaleID", 1);
  passes->Open();
  EXPECT_EQ(passes->AsInteger("RivoCarCount"), 2);
  EXPECT_EQ(passes->AsFloat("RivoSalesAmount"), 35.5);
  EXPECT_EQ(passes->AsFloat("RivoAdditionalAmount"), 3.5);
  passes->Close();
  passes->SetInteger("SaleID", 2);
  passes->Open();
  EXPECT_EQ(passes->AsInteger("RivoCarCount"), 0);  // no passes: nulls read as 0
  passes->Close();
  collector_.CommitTransaction();

  // A second open replaces the prepared query with one for the new connection.
  EXPECT_TRUE(collector_.OpenDatabase());
  ASSERT_NE(collector_.SalePassesQuery(), nullptr);
  collector_.StartTransaction();
  collector_.SalePassesQuery()->SetInteger("SaleID", 1);
  collector_.SalePassesQuery()->Open();
  EXPECT_EQ(collector_.SalePassesQuery()->AsInteger("RivoCarCount"), 2);
  collector_.SalePassesQuery()->Close();
  collector_.CommitTransaction();
}

TEST_P(DatabaseSessionTest, OutcomesOfOpening) {
  struct Case {
    const char* name;
    TSiteFixtureOptions options;
    std::vector<std::string> sql;
    std::string stage;
    bool opened;
    std::string message;  // the line after "Connecting to ..."; "" for none
    int32_t rivoTerminal;
    bool passes;
  };
  TSiteFixtureOptions noRivo;
  noRivo.WithRivoTerminal = false;
  TSiteFixtureOptions noPasses;
  noPasses.WithSalePasses = false;
  TSiteFixtureOptions lowerLoc;
  lowerLoc.LocationCode = "tst001";
  TSiteFixtureOptions paddedVersion;
  paddedVersion.SWFileVersion = " 19.2.7.3  ";
  const Case cases[] = {
      {"no recharge terminal", noRivo, {}, "19.2.5.1", true, "", 0, true},
      {"two recharge terminals", {}, {"insert into Terminal values (108, 1, 9, 'Second Rivo')"},
       "19.2.5.1", true, "", -1, true},
      {"no SalePasses table", noPasses, {}, "19.2.5.1", true, "", SiteFixtureIds::kRivoTerminal, false},
      {"same major and minor", paddedVersion, {}, "19.2.5.1", true, "", SiteFixtureIds::kRivoTerminal, true},
      {"other minor version", {}, {}, "19.3.0.0", false,
       "ERROR: Installed version (19.3.0.0) does not match database version (19.2.0.0)", 0, true},
      {"location in lower case", lowerLoc, {}, "19.2.5.1", false,
       "ERROR: Installed location code (TST001) does not match database location code (tst001)", 0,
       true},
      // Without a site row the query of the previous open is left as it was.
      {"no site row", {}, {"update SiteSpecific set CurrentSite = 99"}, "19.2.5.1", false,
       "ERROR: Failed to verify database version", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    collector_.CloseDatabase();
    Make(c.options, c.sql, c.stage);
    collector_.TakeLines();
    EXPECT_EQ(collector_.OpenDatabase(), c.opened);
    std::vector<std::string> expected{"Connecting to " + fixture_->Name()};
    if (!c.message.empty()) expected.push_back(c.message);
    EXPECT_EQ(collector_.TakeLines(), expected);
    EXPECT_TRUE(collector_.Database().Connected());  // the caller disconnects
    EXPECT_FALSE(collector_.Database().InTransaction());
    if (c.opened) {
      if (c.rivoTerminal >= 0) {
        EXPECT_EQ(collector_.Cfg().RivoRechargeTerminal(), c.rivoTerminal);
      } else {
        EXPECT_TRUE(collector_.Cfg().RivoRechargeTerminal() == 108 ||
                    collector_.Cfg().RivoRechargeTerminal() == SiteFixtureIds::kRivoTerminal);
      }
    }
    EXPECT_EQ(collector_.SalePassesQuery() != nullptr, c.passes);
  }
  EXPECT_EQ(collector_.Cfg().DBFileVersion(), "19.2.0.0");
}

// A location code outside ASCII matches the same code in the registry
// whichever character set the site database keeps its text in.
TEST_P(DatabaseSessionTest, ALocationCodeOutsideAsciiMatchesInEveryCharacterSet) {
  for (const char* charset : {"WIN1252", "UTF8", "NONE"}) {
    SCOPED_TRACE(charset);
    TSiteFixtureOptions options;
    options.Charset = charset;
    options.LocationCode = "AUDÉ1";
    collector_.CloseDatabase();
    Make(options, {}, "19.2.5.1", "AUDÉ1");
    collector_.TakeLines();
    EXPECT_TRUE(collector_.OpenDatabase());
    EXPECT_EQ(collector_.Cfg().LocCode(), "AUDÉ1");
    EXPECT_EQ(collector_.TakeLines().size(), 1u);
  }
  TSiteRegistry registry;
  registry.Database = fixture_->Name();
  registry.LocCode = "AUDE1";
  collector_.CloseDatabase();
  collector_.Configure(registry);
  collector_.TakeLines();
  EXPECT_FALSE(collector_.OpenDatabase());
  EXPECT_EQ(collector_.TakeLines().back(),
            "ERROR: Installed location code (AUDE1) does not match database location code (AUDÉ1)");
}

TEST_P(DatabaseSessionTest, MissingDatabaseIsReportedAndDisconnected) {
  Make({});
  TSiteRegistry registry;
  registry.Database = fixture_->Name() + ".missing";
  collector_.Configure(registry);
  EXPECT_FALSE(collector_.OpenDatabase());
  const std::vector<std::string> lines = collector_.TakeLines();
  ASSERT_EQ(lines.size(), 2u);
  const std::string prefix = "ERROR: Failed to connect to " + registry.Database + ": ";
  EXPECT_EQ(lines[1].substr(0, prefix.size()), prefix);
  EXPECT_NE(lines[1].find("I/O error"), std::string::npos) << lines[1];
  EXPECT_FALSE(collector_.Database().Connected());
}

TEST_P(DatabaseSessionTest, ErrorsReadingTheSiteRowReachTheCaller) {
  Make({}, {"update SiteList set SWFileVersion = '19.x'"});
  EXPECT_THROW(collector_.OpenDatabase(), EVersionException);
  EXPECT_FALSE(collector_.Database().InTransaction());

  collector_.CloseDatabase();
  Make({}, {"drop table System"});
  EXPECT_THROW(collector_.OpenDatabase(), EDatabaseError);
  EXPECT_FALSE(collector_.Database().InTransaction());
}

INSTANTIATE_TEST_SUITE_P(Modes, DatabaseSessionTest,
                         testing::Values(TConnectionMode::Embedded, TConnectionMode::Server),
                         [](const testing::TestParamInfo<TConnectionMode>& info) {
                           return ConnectionModeName(info.param);
                         });

INSTANTIATE_TEST_SUITE_P(Modes, SiteDatabaseTest,
                         testing::Values(TConnectionMode::Embedded, TConnectionMode::Server),
                         [](const testing::TestParamInfo<TConnectionMode>& info) {
                           return ConnectionModeName(info.param);
                         });

}  // namespace
