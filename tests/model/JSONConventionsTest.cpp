#include "model/JSONConventions.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

TJSONValue Parsed(std::string_view text) {
  auto value = JSONParse(text);
  if (!value) ADD_FAILURE() << "not parsed: " << text;
  return value.value_or(TJSONValue());
}

TEST(JSONPutTest, DottedPathsAndAppendsBuildNestedMembers) {
  TJSONValue doc = TJSONValue::object();
  JSONPut(doc, "ReferenceData.Employees[]", 1);
  JSONPut(doc, "ReferenceData.Employees[]", 2);
  JSONPut(doc, "Header.LocCode", StrAsJSON("L1"));
  JSONPut(doc, "Header.SWVersion", StrAsJSON("9.1"));
  JSONPut(doc, "Command", StrAsJSON("Post"));
  EXPECT_EQ(JSONWrite(doc),
            R"({"ReferenceData":{"Employees":[1,2]},"Header":{"LocCode":"L1","SWVersion":"9.1"},)"
            R"("Command":"Post"})");
}

TEST(JSONPutTest, PuttingAnExistingNameReplacesItInPlace) {
  TJSONValue doc;  // null becomes an object
  JSONPut(doc, "a", 1);
  JSONPut(doc, "b", 2);
  JSONPut(doc, "a", StrAsJSON("x"));
  EXPECT_EQ(JSONWrite(doc), R"({"a":"x","b":2})");
}

TEST(JSONPutTest, RefusesPathsThatCannotBeFollowed) {
  struct Case {
    const char* doc;
    const char* path;
  };
  const Case cases[] = {
      {R"({"a":"text"})", "a.b"},   // step through a string
      {R"({"a":{}})", "a[]"},       // append to an object
      {R"({"a":[1]})", "a.b"},      // step through an array
      {"{}", ""},                   // empty path
      {"{}", "a..b"},               // empty name inside
      {"{}", "[]"},                 // append without a name
      {"{}", "a."},                 // trailing dot
      {"[]", "a"},                  // the root is not an object
  };
  for (const Case& c : cases) {
    TJSONValue doc = Parsed(c.doc);
    const std::string before = JSONWrite(doc);
    EXPECT_THROW(JSONPut(doc, c.path, 1), EConvertError) << c.doc << " " << c.path;
    EXPECT_EQ(JSONWrite(doc), before) << c.path;
  }
}

TEST(JSONGetTest, FindsPlainAndNestedMembersOrNothing) {
  const TJSONValue doc =
      Parsed(R"({"Result":1,"Header":{"ActiveHistoryStart":"45000"},"List":[{"a":1}],"Text":"x"})");
  struct Case {
    const char* path;
    const char* expected;  // written value, nullptr for nothing
  };
  const Case cases[] = {
      {"Result", "1"},
      {"Header.ActiveHistoryStart", R"("45000")"},
      {"Header", R"({"ActiveHistoryStart":"45000"})"},
      {"Missing", nullptr},
      {"Header.Missing", nullptr},
      {"Missing.Result", nullptr},
      {"Text.Length", nullptr},  // through a string
      {"List.a", nullptr},       // through an array
      {"", nullptr},
      {"Header.", nullptr},
      {"result", nullptr},  // names are case-sensitive
  };
  for (const Case& c : cases) {
    const TJSONValue* value = JSONGet(doc, c.path);
    if (c.expected == nullptr) {
      EXPECT_EQ(value, nullptr) << c.path;
    } else {
      ASSERT_NE(value, nullptr) << c.path;
      EXPECT_EQ(JSONWrite(*value), c.expected) << c.path;
    }
  }
  EXPECT_EQ(JSONGet(Parsed("\"plain\""), "Result"), nullptr);
  EXPECT_EQ(JSONGet(Parsed("[1]"), "Result"), nullptr);
}

TEST(JSONBuildersTest, NumbersTravelAsStrings) {
  EXPECT_EQ(IntAsJSON(0), TJSONValue("0"));
  EXPECT_TRUE(IntAsJSON(0).is_string());
  EXPECT_EQ(IntAsJSON(-5), TJSONValue("-5"));
  EXPECT_EQ(IntAsJSON(300), TJSONValue("300"));
  EXPECT_EQ(IntAsJSON(std::numeric_limits<int32_t>::min()), TJSONValue("-2147483648"));
  EXPECT_EQ(StrAsJSON("a\"b\nc"), TJSONValue("a\"b\nc"));
  EXPECT_EQ(FloatAsJSON(45000.5), TJSONValue("45000.5"));
  EXPECT_EQ(FloatAsJSON(45000.5, ','), TJSONValue("45000,5"));
}

TEST(JSONBuildersTest, ElapsedSecondsBetweenDateTimes) {
  EXPECT_EQ(ElapsedSecondsAsJSON(45000.5, 45000.5), TJSONValue("0"));
  EXPECT_EQ(ElapsedSecondsAsJSON(1.0 / 24, 0), TJSONValue("3600"));
  EXPECT_EQ(ElapsedSecondsAsJSON(0, 1.0 / 24), TJSONValue("-3600"));
  EXPECT_EQ(ElapsedSecondsAsJSON(1.5 / 86400, 0), TJSONValue("1.5"));
  // Clock readings of today: the day count leaves about a microsecond of
  // noise in the difference, which must not show.
  struct Case {
    TDateTime end;
    TDateTime start;
    const char* seconds;
  };
  const Case cases[] = {
      {EncodeDateTime(2024, 3, 7, 14, 0, 0), EncodeDateTime(2024, 3, 7, 13, 0, 0), "3600"},
      {EncodeDateTime(2024, 3, 7, 13, 0, 1, 234), EncodeDateTime(2024, 3, 7, 13, 0, 0), "1.234"},
      {EncodeDateTime(2024, 3, 8, 0, 0, 0, 1), EncodeDateTime(2024, 3, 7, 23, 59, 59, 999), "0.002"},
      {EncodeDateTime(2024, 3, 7, 13, 0, 0), EncodeDateTime(2024, 3, 7, 13, 5, 0), "-300"},
      {EncodeDateTime(2024, 3, 7), 0, "3918931200"},  // day 45358
  };
  for (const Case& c : cases) EXPECT_EQ(ElapsedSecondsAsJSON(c.end, c.start), TJSONValue(c.seconds));
}

TEST(JSONBuildersTest, SystemTimeIsAnObjectOfIntegers) {
  const TSystemTime t{2024, 11, 0, 1, 2, 3, 4, 5};
  EXPECT_EQ(JSONWrite(SystemTimeAsJSON(t)),
            R"({"Year":2024,"Month":11,"DayOfWeek":0,"Day":1,"Hour":2,"Minute":3,"Second":4,)"
            R"("Milliseconds":5})");
}

TEST(FloatToGeneralTextTest, RoundsTo15DigitsAndSwitchesToScientific) {
  struct Case {
    double x;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {300.0, "300"},
      {45000.5, "45000.5"},
      {-2.5, "-2.5"},
      {1.0 / 3.0, "0.333333333333333"},
      {2.0 / 3.0, "0.666666666666667"},
      {0.1 + 0.2, "0.3"},  // 0.30000000000000004 at 17 digits
      {45000.123456789, "45000.123456789"},
      {45000.5 * 86400.0, "3888043200"},
      {123456789012345.0, "123456789012345"},       // 15 integer digits: fixed
      {999999999999999.0, "999999999999999"},
      {1e15, "1E15"},                               // 16 integer digits: scientific
      {1234567890123456.0, "1.23456789012346E15"},
      {999999999999999.9, "1E15"},                  // rounding adds the 16th digit
      {1e20, "1E20"},
      {-1.5e300, "-1.5E300"},
      {0.0001, "0.0001"},                           // smallest fixed magnitude
      {0.00012345, "0.00012345"},
      {0.00001, "1E-5"},
      {0.00000015, "1.5E-7"},
      {-0.00000015, "-1.5E-7"},
      {0.000099999999999999999, "0.0001"},  // rounds up into fixed notation
      {5e-324, "4.94065645841247E-324"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const Case& c : cases) EXPECT_EQ(FloatToGeneralText(c.x), c.text) << c.text;
}

TEST(FloatToGeneralTextTest, UsesTheGivenDecimalSeparator) {
  EXPECT_EQ(FloatToGeneralText(45000.5, ','), "45000,5");
  EXPECT_EQ(FloatToGeneralText(1.5e-7, ','), "1,5E-7");
  EXPECT_EQ(FloatToGeneralText(0.001, ','), "0,001");
  EXPECT_EQ(FloatToGeneralText(300, ','), "300");
}

TEST(JSONWriteTest, CompactTextEscapingOnlyQuoteBackslashAndNul) {
  struct Case {
    TJSONValue value;
    std::string text;
  };
  const Case cases[] = {
      {TJSONValue::object(), "{}"},
      {TJSONValue::array(), "[]"},
      {TJSONValue(), "null"},
      {true, "true"},
      {false, "false"},
      {-42, "-42"},
      {uint64_t{18446744073709551615u}, "18446744073709551615"},
      {2.5, "2.5"},
      {1.5e-7, "1.5E-7"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\Orvel", R"("C:\\Orvel")"},
      {std::string("a\0b", 3), R"("a\u0000b")"},
      {"line\nbreak\r\ttab", "\"line\nbreak\r\ttab\""},
      {"a/b", R"("a/b")"},
      {"Caf\xc3\xa9 \x01", "\"Caf\xc3\xa9 \x01\""},
      {Parsed(R"({"a b":[1,{"c":null}],"q\"":{}})"), R"({"a b":[1,{"c":null}],"q\"":{}})"},
  };
  for (const Case& c : cases) EXPECT_EQ(JSONWrite(c.value), c.text);
}

TEST(JSONWriteTest, EscapesFoundAtEveryPosition) {
  // Bytes that differ from the escaped ones only in their high bit must pass.
  const std::string filler = "a\xa2\xdc\x80\x01\xff";
  for (const char special : {'"', '\\', '\0'}) {
    const std::string escaped = special == '\0' ? "\\u0000" : std::string{'\\', special};
    for (size_t length = 1; length <= 20; ++length) {
      for (size_t pos = 0; pos < length; ++pos) {
        std::string s;
        for (size_t i = 0; i < length; ++i) s += filler[i % filler.size()];
        s[pos] = special;
        std::string expected = s.substr(0, pos) + escaped + s.substr(pos + 1);
        EXPECT_EQ(JSONWrite(TJSONValue(s)), '"' + expected + '"') << length << " " << pos;
        s += special;
        expected += escaped;
        EXPECT_EQ(JSONWrite(TJSONValue(s)), '"' + expected + '"') << length << " " << pos;
      }
    }
  }
}

TEST(JSONWriteTest, WriteToAppends) {
  std::string text = "body=";
  JSONWriteTo(Parsed(R"({"a":"1"})"), text);
  EXPECT_EQ(text, R"(body={"a":"1"})");
}

TEST(JSONParseTest, LenientReading) {
  struct Case {
    std::string text;
    const char* written;  // JSONWrite of the result, nullptr for nothing
  };
  const Case cases[] = {
      // The first complete value; anything after it is ignored.
      {"{}trailing text", "{}"},
      {R"( {"Authenticated":true} {"x":1})", R"({"Authenticated":true})"},
      {"true false", "true"},
      {"404 Not Found", "404"},
      {"[1,2]]", "[1,2]"},
      // Not JSON at all: one string, trailing white space removed.
      {"", R"("")"},
      {"   ", R"("")"},
      {"hello", R"("hello")"},
      {"  Not Found \r\n", R"("  Not Found")"},
      {"<html><body>Error</body></html>\n", R"("<html><body>Error</body></html>")"},
      {"nothing", R"("nothing")"},
      {"tru", R"("tru")"},
      // Begins like JSON but broken: nothing.
      {R"({"a":)", nullptr},
      {"[1,2", nullptr},
      {R"({"a":1,})", nullptr},
      {"[1,]", nullptr},
      {R"({a:1})", nullptr},
      {R"("open)", nullptr},
      {R"("bad \x escape")", nullptr},
      {R"("\u12G4")", nullptr},
      {"-", nullptr},
      {"-x", nullptr},
      {"1.", nullptr},
      {"1e", nullptr},
      {"1e999", nullptr},
      // Values.
      {R"({"a":1,"a":2,"b":3})", R"({"a":2,"b":3})"},
      {"-0", "0"},
      {"1.5e3", "1500"},
      {"1e-999", "0"},
      {"9223372036854775807", "9223372036854775807"},
      {"12345678901234567890", "1.23456789012346E19"},  // beyond 64 bits: a float
      {R"("a\nb\t\"\\\/\b\f\r")", "\"a\nb\t\\\"\\\\/\b\f\r\""},
      {R"("\u00e9\u20ac")", "\"\xc3\xa9\xe2\x82\xac\""},
      {R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
      {R"("\ud83dx")", "\"\xef\xbf\xbdx\""},  // lone surrogate: U+FFFD
      {R"("\u0000")", R"("\u0000")"},
      {"\"raw\nline\"", "\"raw\nline\""},  // raw control characters as written
  };
  for (const Case& c : cases) {
    const auto value = JSONParse(c.text);
    if (c.written == nullptr) {
      EXPECT_FALSE(value.has_value()) << c.text;
    } else {
      ASSERT_TRUE(value.has_value()) << c.text;
      EXPECT_EQ(JSONWrite(*value), c.written) << c.text;
    }
  }
}

TEST(JSONParseTest, NestingDepthIsBounded) {
  const std::string deepOk = std::string(100, '[') + std::string(100, ']');
  EXPECT_TRUE(JSONParse(deepOk).has_value());
  const std::string tooDeep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(JSONParse(tooDeep).has_value());
}

TEST(JSONParseTest, RepeatedNamesKeepTheirFirstPlaceInSmallAndLargeObjects) {
  // Sizes on both sides of the point where names are found through an index.
  for (const int members : {3, 15, 16, 17, 40}) {
    SCOPED_TRACE(members);
    std::string text = "{";
    for (int i = 0; i < members; ++i) text += "\"m" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += "\"m0\":\"again\",\"m" + std::to_string(members - 1) + "\":\"last\",\"new\":true}";
    const TJSONValue value = Parsed(text);
    ASSERT_EQ(value.size(), static_cast<size_t>(members) + 1);
    EXPECT_EQ(value.begin().key(), "m0");
    EXPECT_EQ(value["m0"], "again");
    EXPECT_EQ(value["m" + std::to_string(members - 1)], "last");
    EXPECT_EQ(value["m1"], 1);
    EXPECT_EQ(std::prev(value.end()).key(), "new");
  }
}

TEST(JSONParseTest, ManyDistinctMembersAreReadInLinearTime) {
  // 200,000 distinct names (about 2.6 MB): a scan of the members read so far
  // for every new name would take minutes.
  std::string text = "{";
  for (int i = 0; i < 200000; ++i) text += "\"key" + std::to_string(i) + "\":1,";
  text.back() = '}';
  const auto start = std::chrono::steady_clock::now();
  const auto value = JSONParse(text);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->size(), 200000u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(JSONParseTest, WrittenDocumentsReadBackUnchanged) {
  TJSONValue doc = TJSONValue::object();
  JSONPut(doc, "Command", StrAsJSON("Post"));
  JSONPut(doc, "Header.LocCode", StrAsJSON("Site \"7\"\\East\nline two\ttab\x01 Caf\xc3\xa9"));
  JSONPut(doc, "Header.Nul", StrAsJSON(std::string("a\0b", 3)));
  JSONPut(doc, "Header.Timezone.StandardDate", SystemTimeAsJSON({0, 11, 0, 1, 2, 0, 0, 0}));
  JSONPut(doc, "Contents.SentDate", FloatAsJSON(45000.123456));
  JSONPut(doc, "FullEmployees", 1);
  JSONPut(doc, "List[]", TJSONValue::array());
  JSONPut(doc, "List[]", TJSONValue::object());
  JSONPut(doc, "List[]", true);
  JSONPut(doc, "List[]", TJSONValue());
  JSONPut(doc, "List[]", -9223372036854775807 - 1);
  JSONPut(doc, "List[]", 0.25);
  JSONPut(doc, "Key with \"quote\"", StrAsJSON(""));

  const std::string text = JSONWrite(doc);
  const auto back = JSONParse(text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, doc);
  EXPECT_EQ(JSONWrite(*back), text);
}

TEST(JSONConversionsTest, EveryKindConvertsAsReceived) {
  struct Case {
    const char* json;
    bool asBoolean;
    int64_t asInteger;
    double asDouble;
    const char* asString;
  };
  const Case cases[] = {
      {"true", true, 1, 1.0, "true"},
      {"false", false, 0, 0.0, "false"},
      {"0", false, 0, 0.0, "0"},
      {"-7", true, -7, -7.0, "-7"},
      {"4294967296", true, 4294967296, 4294967296.0, "4294967296"},
      {"2.5", true, 2, 2.5, "2.5"},
      {"3.5", true, 4, 3.5, "3.5"},
      {"-2.5", true, -2, -2.5, "-2.5"},
      {"-3.5", true, -4, -3.5, "-3.5"},
      {"2.6", true, 3, 2.6, "2.6"},
      {"-2.4", true, -2, -2.4, "-2.4"},
      {"0.0", false, 0, 0.0, "0"},
      {"1.5e-7", true, 0, 1.5e-7, "1.5E-7"},
      {R"("")", false, 0, 0.0, ""},
      {R"("false")", true, 0, 0.0, "false"},
      {R"("0")", true, 0, 0.0, "0"},
      {R"("300")", true, 300, 300.0, "300"},
      {R"("-12")", true, -12, -12.0, "-12"},
      {R"("+5")", true, 5, 5.0, "+5"},
      {R"("1.5")", true, 0, 1.5, "1.5"},
      {R"("1,5")", true, 0, 0.0, "1,5"},
      {R"("2e3")", true, 0, 2000.0, "2e3"},
      {R"(" 300")", true, 0, 0.0, " 300"},
      {R"("12abc")", true, 0, 0.0, "12abc"},
      {R"("inf")", true, 0, 0.0, "inf"},
      {R"("99999999999999999999")", true, 0, 1e20, "99999999999999999999"},
      {"null", false, 0, 0.0, ""},
      {R"({"a":1})", true, 0, 0.0, R"({"a":1})"},
      {"{}", true, 0, 0.0, "{}"},
      {"[1]", true, 0, 0.0, "[1]"},
  };
  for (const Case& c : cases) {
    const TJSONValue value = Parsed(c.json);
    EXPECT_EQ(AsBoolean(value), c.asBoolean) << c.json;
    EXPECT_EQ(AsInteger(value), c.asInteger) << c.json;
    EXPECT_EQ(AsDouble(value), c.asDouble) << c.json;
    EXPECT_EQ(AsString(value), c.asString) << c.json;
  }
}

TEST(JSONConversionsTest, FloatsBeyondTheIntegerRangeRaise) {
  EXPECT_THROW(AsInteger(TJSONValue(1e300)), ERangeError);
  EXPECT_THROW(AsInteger(TJSONValue(9223372036854775808.0)), ERangeError);
  EXPECT_THROW(AsInteger(TJSONValue(std::numeric_limits<double>::quiet_NaN())), ERangeError);
  EXPECT_THROW(AsInteger(TJSONValue(uint64_t{9223372036854775808u})), ERangeError);
  EXPECT_EQ(AsInteger(TJSONValue(-9223372036854775808.0)), std::numeric_limits<int64_t>::min());
}

}  // namespace
