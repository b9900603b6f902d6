#include "protocol/Json.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

using Vant::CProtocalJson;
using Vant::ValueIsTrue;
using Vant::ValueToString;
using Value = rapidjson::Value;

const std::string kEnvelope = R"({"version":0,"kind":0,"sessionId":"0")";

// {"params":{"data":[...]}} nested `depth` levels in all.
std::string Nested(unsigned depth) {
    return "{\"params\":{\"data\":" + std::string(depth - 2, '[') + std::string(depth - 2, ']') + "}}";
}

TEST(JsonEnvelope, WrittenByteExactInInsertionOrder) {
    CProtocalJson json;
    EXPECT_EQ(json.ToString(), kEnvelope + "}");
    json.SetApi("/brenu/model/searchbrenu.htm");
    const std::string request = json.ToString();
    EXPECT_EQ(request, kEnvelope + R"(,"api":"/brenu/model/searchbrenu.htm"})");
    EXPECT_EQ(request.size(), 75u);

    json.SetApi("/brenu/model/reboot.htm");
    json.SetDataString(0, "serialNo", "S-1");
    json.SetDataBool(0, "dhcp", true);
    json.SetDataString(0, "serialNo", "S-2");  // replaced where it stands
    EXPECT_EQ(json.ToString(), kEnvelope + R"(,"api":"/brenu/model/reboot.htm",)"
                                           R"("params":{"data":[{"serialNo":"S-2","dhcp":true}]}})");
    json.Reset();
    EXPECT_EQ(json.ToString(), kEnvelope + "}");
}

TEST(JsonEnvelope, DataAccessorsCreateWhatIsMissing) {
    CProtocalJson fresh;
    EXPECT_EQ(fresh.GetDataCount(), 0);
    EXPECT_EQ(fresh.ToString(), kEnvelope + R"(,"params":{"data":[]}})");

    CProtocalJson json;
    json.SetDataString(2, "IPAddr", "10.77.0.1");
    EXPECT_EQ(json.ToString(), kEnvelope + R"(,"params":{"data":[{},{},{"IPAddr":"10.77.0.1"}]}})");
    json.ResizeData(1);
    EXPECT_EQ(json.GetDataCount(), 3) << "never removes";
    json.SetDataString(-1, "x", "y");
    json.SetDataString(0, "x", nullptr);
    EXPECT_EQ(json.GetDataCount(), 3);
    EXPECT_TRUE(json.GetDataValue(0, "x").IsNull());
}

TEST(JsonEnvelope, CachedParamsFollowTheRoot) {
    // Adding "api" behind "params" moves the root's members; data set afterwards
    // must land in the document, not in a stale copy of "params".
    CProtocalJson json;
    ASSERT_TRUE(json.ParseText(R"({"x":1})"));
    ASSERT_TRUE(json.EnsureParams(true));
    json.SetApi("/brenu/model/reboot.htm");
    json.SetDataString(0, "serialNo", "S");
    EXPECT_EQ(json.ToString(), R"({"x":1,"params":{"data":[{"serialNo":"S"}]},"api":"/brenu/model/reboot.htm"})");

    // A root replaced by ParseText alone (no Reset before it) is read afresh too.
    ASSERT_TRUE(json.Parse(R"({"params":{"data":[{"serialNo":"old"}]}})"));
    ASSERT_TRUE(json.ParseText(R"({"params":{"data":[]}})"));
    EXPECT_EQ(json.GetDataCount(), 0);
    json.SetDataString(0, "serialNo", "new");
    EXPECT_EQ(json.ToString(), R"({"params":{"data":[{"serialNo":"new"}]}})");
}

TEST(JsonParse, AcceptsOneValueWithParamsData) {
    const std::string answer = R"({"params":{"data":[{"serialNo":"A"}]}})";
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {answer, true},
        {" \r\n\t" + answer + " \n", true},
        {R"({"params":{"data":5}})", true},  // the type of data is not checked
        {answer + std::string("\0garbage", 8), true},
        {R"({"params":{}})", false},
        {R"({"params":[{"data":[]}]})", false},
        {"[1,2]", false},
        {answer + "x", false},
        {answer + answer, false},
        {"", false},
        {std::string(R"({"params":{"data":["a)") + '\0' + R"(b"]}})", false},
        {"\xef\xbb\xbf" + answer, false},
        {Nested(Vant::CRapidJson::kMaxDepth), true},
        {Nested(Vant::CRapidJson::kMaxDepth + 1), false},
        {"{\"params\":{\"data\":" + std::string(1 << 20, '['), false},  // refused without recursing
    };
    for (const Case &c : cases) {
        CProtocalJson byText;
        CProtocalJson byBytes;
        EXPECT_EQ(byText.Parse(c.text), c.valid) << c.text.substr(0, 80);
        EXPECT_EQ(byBytes.Parse(c.text.data(), c.text.size()), c.valid) << c.text.substr(0, 80);
        EXPECT_EQ(byBytes.ToString(), byText.ToString());
    }
    CProtocalJson json;
    EXPECT_FALSE(json.Parse(answer.data(), answer.size() - 1)) << "only the given bytes are read";
    ASSERT_TRUE(json.Parse(answer));
    EXPECT_EQ(json.ToString(), answer) << "nothing of the envelope defaults stays";
}

TEST(JsonParse, FailedParseTextKeepsTheDocument) {
    CProtocalJson json;
    json.SetApi("/x");
    const std::string before = json.ToString();
    EXPECT_FALSE(json.ParseText(R"({"params":{"data":[1,2,)"));
    EXPECT_FALSE(json.ParseText(nullptr));
    EXPECT_EQ(json.ToString(), before);
}

TEST(JsonParse, DocumentsLargerThanTheInlineBlocksParseRepeatedly) {
    std::string text = R"({"params":{"data":[)";
    for (int i = 0; i < 2000; ++i)
        text += (i ? "," : "") + std::string(R"({"serialNo":"serial number )") + std::to_string(i) + "\"}";
    text += "]}}";
    CProtocalJson json;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(json.Parse(text.data(), text.size()));
        EXPECT_EQ(ValueToString(json.GetDataValue(1999, "serialNo")), "serial number 1999");
    }
    EXPECT_EQ(json.ToString(), text);
}

TEST(JsonAccessors, WrongTypesReadAsMissingAndAreNeverReplaced) {
    const char *texts[] = {
        R"({"params":{"data":7}})",
        R"({"params":{"data":[5,{"port":"19010"}]}})",
        R"({"params":"text","api":["/x"]})",
        R"([true,null])",
    };
    for (const char *text : texts) {
        CProtocalJson json;
        ASSERT_TRUE(json.ParseText(text));
        EXPECT_TRUE(json.GetDataValue(0, "port").IsNull()) << text;
        EXPECT_EQ(json.GetApi(), "") << text;
        json.SetDataString(0, "port", "1");
        json.SetDataBool(0, "dhcp", true);
        json.ResizeData(2);
        EXPECT_EQ(json.ToString(), text);
    }
    CProtocalJson json;
    ASSERT_TRUE(json.ParseText(R"({"params":{"data":[5,{"port":"19010"}]}})"));
    EXPECT_EQ(json.GetDataCount(), 2);
    EXPECT_EQ(ValueToString(json.GetDataValue(1, "port")), "19010");
    EXPECT_TRUE(json.GetDataValue(2, "port").IsNull());

    CProtocalJson missing;
    ASSERT_TRUE(missing.ParseText(R"({"api":"/x"})"));
    EXPECT_FALSE(missing.EnsureData(false));
    EXPECT_EQ(missing.ToString(), R"({"api":"/x"})") << "create false adds nothing";
}

TEST(JsonValues, ValueToStringOfEveryType) {
    CProtocalJson json;
    ASSERT_TRUE(json.Parse(
        R"({"params":{"data":[{"f":1.5,"i":7,"n":-7,"u":4294967295,"big":18446744073709551615,)"
        R"("neg":-9223372036854775808,"mid":-3000000000,"huge":1e300,"s":"a\u0000b","t":true,)"
        R"("z":null,"o":{},"a":[1]}]}})"));
    const auto text = [&](const char *name) { return ValueToString(json.GetDataValue(0, name)); };
    EXPECT_EQ(text("f"), "1.500000");
    EXPECT_EQ(text("i"), "7");
    EXPECT_EQ(text("n"), "-7");
    EXPECT_EQ(text("u"), "4294967295");
    EXPECT_EQ(text("big"), "18446744073709551615");
    EXPECT_EQ(text("neg"), "-9223372036854775808");
    EXPECT_EQ(text("mid"), "-3000000000");
    EXPECT_EQ(text("huge").size(), 301u + 7u);
    EXPECT_EQ(text("s"), "a") << "a string ends at its first NUL";
    for (const char *empty : {"t", "z", "o", "a", "missing"})
        EXPECT_EQ(text(empty), "") << empty;
}

// QApplication sets LC_NUMERIC from the environment; numbers must still be
// written with a point. The comma locale is built with localedef in a
// temporary directory, since a test machine may have none installed.
TEST(JsonValues, ValueToStringWritesThePrintfTextOfTheCLocaleUnderAnyLocale) {
    const double numbers[] = {1.5, -0.25, -0.0, 0.1, 2.0000005, 1234567.8901234, 1e300, -1e-7};
    std::vector<std::string> printed;
    for (double number : numbers) {
        char text[400];
        std::snprintf(text, sizeof text, "%f", number);
        printed.emplace_back(text);
    }

    char dir[] = "/tmp/brenu-locale-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ofstream(std::string(dir) + "/comma.src")
        << "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\nEND LC_NUMERIC\n";
    // Exits with 1 after warning about the categories left out, but writes the locale.
    const std::string build = std::string("localedef -c -i ") + dir + "/comma.src -f UTF-8 " + dir +
                              "/comma.UTF-8 >/dev/null 2>&1";
    const int status = std::system(build.c_str());
    (void)status;
    setenv("LOCPATH", dir, 1);
    const bool inForce = std::setlocale(LC_NUMERIC, "comma.UTF-8") != nullptr;
    std::filesystem::remove_all(dir);  // a loaded locale stays loaded
    if (!inForce)
        GTEST_SKIP() << "localedef could not build a locale with a decimal comma";
    char comma[32];
    std::snprintf(comma, sizeof comma, "%f", 1.5);
    EXPECT_STREQ(comma, "1,500000") << "the comma locale is in force";

    for (std::size_t i = 0; i < printed.size(); ++i)
        EXPECT_EQ(ValueToString(Value(numbers[i])), printed[i]);
    std::setlocale(LC_NUMERIC, "C");
}

TEST(JsonValues, ValueIsTrueOfEveryType) {
    for (const Value &yes : {Value(true), Value(1), Value(-1), Value(std::numeric_limits<std::uint64_t>::max()),
                             Value(std::numeric_limits<std::int64_t>::min()), Value(0.25), Value(std::nan(""))})
        EXPECT_TRUE(ValueIsTrue(yes));
    for (const Value &no : {Value(false), Value(0), Value(0.0), Value(-0.0), Value(), Value("true"), Value("1"),
                            Value(rapidjson::kObjectType), Value(rapidjson::kArrayType)})
        EXPECT_FALSE(ValueIsTrue(no));
}

}  // namespace
