#include "protocol/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace {

using Vant::CProtocalJson;
using Vant::CRapidJson;
using Vant::ValueIsTrue;
using Vant::ValueToString;
using Value = rapidjson::Value;

const char kSearchApi[] = "/brenu/model/searchbrenu.htm";

std::string Nested(unsigned depth) {
    // {"params":{"data":[ ... ]}} with `depth` levels in all, the innermost an empty array.
    std::string text = "{\"params\":{\"data\":";
    for (unsigned i = 3; i <= depth; ++i)
        text += '[';
    for (unsigned i = 3; i <= depth; ++i)
        text += ']';
    return text + "}}";
}

// ---- building and writing ----------------------------------------------

TEST(JsonEnvelope, FreshDocumentAndSearchRequestAreByteExact) {
    CProtocalJson json;
    EXPECT_EQ(json.ToString(), R"({"version":0,"kind":0,"sessionId":"0"})");

    json.SetApi(kSearchApi);
    const std::string request = json.ToString();
    EXPECT_EQ(request, R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/searchbrenu.htm"})");
    EXPECT_EQ(request.size(), 75u);
    EXPECT_EQ(json.GetApi(), kSearchApi);
}

TEST(JsonEnvelope, MembersKeepInsertionOrderAndAreReplacedInPlace) {
    CProtocalJson json;
    json.SetApi("/brenu/model/reboot.htm");
    json.SetDataString(0, "serialNo", "S-1");
    EXPECT_EQ(json.ToString(), R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/reboot.htm",)"
                               R"("params":{"data":[{"serialNo":"S-1"}]}})");

    // Replacing keeps the first position, with the new value; so does the api.
    json.SetDataBool(0, "dhcp", true);
    json.SetDataString(0, "serialNo", "S-2");
    json.SetApi("/brenu/model/updatecfg.htm");
    EXPECT_EQ(json.ToString(), R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/updatecfg.htm",)"
                               R"("params":{"data":[{"serialNo":"S-2","dhcp":true}]}})");

    // Reset brings back the bare envelope.
    json.Reset();
    EXPECT_EQ(json.ToString(), R"({"version":0,"kind":0,"sessionId":"0"})");
}

TEST(JsonEnvelope, DataAccessorsCreateWhatIsMissing) {
    CProtocalJson fresh;
    EXPECT_EQ(fresh.GetDataCount(), 0);
    EXPECT_EQ(fresh.ToString(), R"({"version":0,"kind":0,"sessionId":"0","params":{"data":[]}})");

    CProtocalJson json;
    json.SetDataString(2, "IPAddr", "10.77.0.1");
    EXPECT_EQ(json.GetDataCount(), 3);
    EXPECT_EQ(json.ToString(),
              R"({"version":0,"kind":0,"sessionId":"0","params":{"data":[{},{},{"IPAddr":"10.77.0.1"}]}})");

    json.ResizeData(1);  // never removes
    EXPECT_EQ(json.GetDataCount(), 3);
    json.ResizeData(4);
    EXPECT_EQ(json.GetDataCount(), 4);

    // Nonsense arguments set nothing.
    json.SetDataString(-1, "x", "y");
    json.SetDataString(0, "x", nullptr);
    EXPECT_EQ(json.GetDataCount(), 4);
    EXPECT_TRUE(json.GetDataValue(0, "x").IsNull());
}

TEST(JsonEnvelope, WriterEscapesOnlyWhatJsonNeeds) {
    CProtocalJson json;
    json.SetDataString(0, "description", "a/b \"q\" \\ \t\x01 \xe6\xb5\x8b\xe8\xaf\x95");
    EXPECT_EQ(json.ToString(), "{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"params\":{\"data\":[{\"description\":"
                               "\"a/b \\\"q\\\" \\\\ \\t\\u0001 \xe6\xb5\x8b\xe8\xaf\x95\"}]}}");
}

TEST(JsonEnvelope, CachedParamsSurviveTheRootGrowing) {
    // The root's member array moves when "api" is added behind "params"; data set
    // afterwards must land in the document, not in a stale copy.
    CProtocalJson json;
    ASSERT_TRUE(json.ParseText(R"({"x":1})"));
    ASSERT_TRUE(json.EnsureParams(true));
    json.SetApi("/brenu/model/reboot.htm");
    json.SetDataString(0, "serialNo", "S");
    EXPECT_EQ(json.ToString(), R"({"x":1,"params":{"data":[{"serialNo":"S"}]},"api":"/brenu/model/reboot.htm"})");
}

// ---- parsing and validation --------------------------------------------

TEST(JsonParse, ValidationNeedsParamsObjectWithData) {
    CProtocalJson json;
    EXPECT_TRUE(json.Parse(R"({"params":{"data":[]}})"));
    // A parsed message keeps none of the envelope defaults.
    EXPECT_EQ(json.ToString(), R"({"params":{"data":[]}})");
    EXPECT_TRUE(json.Parse(R"({"params":{"data":5}})")) << "the type of data is not checked";
    EXPECT_EQ(json.GetDataCount(), 0);

    EXPECT_FALSE(json.Parse(R"({"params":{}})"));
    EXPECT_FALSE(json.Parse(R"({"params":[{"data":[]}]})"));
    EXPECT_FALSE(json.Parse(R"({"data":[]})"));
    EXPECT_FALSE(json.Parse("[1,2]"));
    EXPECT_FALSE(json.Parse("\"params\""));
}

TEST(JsonParse, WholeTextMustBeOneValueUpToTheFirstNul) {
    CProtocalJson json;
    const std::string valid = R"({"params":{"data":[{"serialNo":"A"}]}})";
    EXPECT_TRUE(json.Parse(" \r\n\t" + valid + " \n"));
    EXPECT_FALSE(json.Parse(valid + "x"));
    EXPECT_FALSE(json.Parse(valid + valid));
    EXPECT_FALSE(json.Parse(""));
    EXPECT_FALSE(json.Parse(static_cast<const char *>(nullptr)));

    const std::string nulAfter = valid + std::string("\0garbage", 8);
    EXPECT_TRUE(json.Parse(nulAfter));
    EXPECT_TRUE(json.Parse(nulAfter.data(), nulAfter.size()));
    EXPECT_EQ(ValueToString(json.GetDataValue(0, "serialNo")), "A");

    const std::string nulInside = std::string(R"({"params":{"data":["a)") + '\0' + R"(b"]}})";
    EXPECT_FALSE(json.Parse(nulInside.data(), nulInside.size()));
}

TEST(JsonParse, ByteRangeParseMatchesTheTextParse) {
    const std::string valid = R"({"params":{"data":[1]}})";
    const std::string cases[] = {
        valid,
        "\xef\xbb\xbf" + valid,  // a byte-order mark is not JSON
        valid.substr(0, valid.size() - 1),
        valid + " ",
        "  ",
        std::string("\0", 1) + valid,
    };
    for (const std::string &text : cases) {
        CProtocalJson byText;
        CProtocalJson byBytes;
        const bool expected = byText.Parse(text);
        EXPECT_EQ(byBytes.Parse(text.data(), text.size()), expected) << text;
        EXPECT_EQ(byBytes.ToString(), byText.ToString()) << text;
    }
    // Only the given bytes are read: a valid prefix is not enough.
    CProtocalJson json;
    EXPECT_FALSE(json.Parse(valid.data(), valid.size() - 1));
}

TEST(JsonParse, FailedParseTextKeepsTheDocument) {
    CProtocalJson json;
    json.SetApi(kSearchApi);
    const std::string before = json.ToString();
    EXPECT_FALSE(json.ParseText(R"({"params":{"data":[1,2,)"));
    EXPECT_FALSE(json.ParseBytes("{]", 2));
    EXPECT_EQ(json.ToString(), before);

    EXPECT_TRUE(json.ParseText("[true,null]")) << "ParseText takes any value";
    EXPECT_EQ(json.ToString(), "[true,null]");
    EXPECT_EQ(json.GetApi(), "");
    EXPECT_EQ(json.GetDataCount(), 0) << "a root that is not an object has no params";
    json.SetApi(kSearchApi);
    json.SetDataString(0, "a", "b");
    EXPECT_EQ(json.ToString(), "[true,null]");
}

TEST(JsonParse, NestingIsBounded) {
    CProtocalJson json;
    EXPECT_TRUE(json.Parse(Nested(CRapidJson::kMaxDepth)));
    EXPECT_FALSE(json.Parse(Nested(CRapidJson::kMaxDepth + 1)));
    // Far beyond the bound: refused without recursing through it.
    const std::string deep = "{\"params\":{\"data\":" + std::string(1 << 20, '[');
    EXPECT_FALSE(json.Parse(deep));
    EXPECT_FALSE(json.Parse(deep.data(), deep.size()));
    // The document is still usable afterwards.
    EXPECT_TRUE(json.Parse(Nested(4)));
    EXPECT_EQ(json.ToString(), R"({"params":{"data":[[]]}})");
}

TEST(JsonParse, LargeDocumentsOutgrowTheInlineBlocks) {
    std::string text = R"({"params":{"data":[)";
    for (int i = 0; i < 2000; ++i)
        text += (i ? "," : "") + std::string(R"({"serialNo":"serial number )") + std::to_string(i) + "\"}";
    text += "]}}";
    CProtocalJson json;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(json.Parse(text));
        EXPECT_EQ(json.GetDataCount(), 2000);
        EXPECT_EQ(ValueToString(json.GetDataValue(1999, "serialNo")), "serial number 1999");
    }
    EXPECT_EQ(json.ToString(), text);
}

// ---- reading members of any type ---------------------------------------

TEST(JsonAccessors, WrongTypesReadAsMissing) {
    CProtocalJson json;
    ASSERT_TRUE(json.Parse(R"({"params":{"data":[]}})"));
    EXPECT_TRUE(json.GetDataValue(0, "serialNo").IsNull());

    ASSERT_TRUE(json.Parse(R"({"params":{"data":7}})"));
    EXPECT_TRUE(json.GetDataValue(0, "serialNo").IsNull());
    json.SetDataString(0, "serialNo", "S");
    json.ResizeData(3);
    EXPECT_EQ(json.ToString(), R"({"params":{"data":7}})") << "a data that is not an array is never replaced";

    ASSERT_TRUE(json.Parse(R"({"params":{"data":[5,{"port":"19010"}]}})"));
    EXPECT_EQ(json.GetDataCount(), 2);
    EXPECT_TRUE(json.GetDataValue(0, "port").IsNull());
    EXPECT_EQ(ValueToString(json.GetDataValue(1, "port")), "19010");
    EXPECT_TRUE(json.GetDataValue(1, "Port").IsNull());
    json.SetDataString(0, "x", "y");  // element 0 is a number: nothing to set
    EXPECT_EQ(json.ToString(), R"({"params":{"data":[5,{"port":"19010"}]}})");

    CProtocalJson notObject;
    ASSERT_TRUE(notObject.ParseText(R"({"params":"text","api":["/x"]})"));
    EXPECT_FALSE(notObject.EnsureParams(true));
    EXPECT_FALSE(notObject.EnsureData(true));
    EXPECT_EQ(notObject.GetDataCount(), 0);
    EXPECT_EQ(notObject.GetApi(), "");
    EXPECT_EQ(notObject.ToString(), R"({"params":"text","api":["/x"]})");

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
    EXPECT_EQ(text("t"), "");
    EXPECT_EQ(text("z"), "");
    EXPECT_EQ(text("o"), "");
    EXPECT_EQ(text("a"), "");
    EXPECT_EQ(text("missing"), "");
}

TEST(JsonValues, ValueIsTrueOfEveryType) {
    EXPECT_TRUE(ValueIsTrue(Value(true)));
    EXPECT_FALSE(ValueIsTrue(Value(false)));
    EXPECT_TRUE(ValueIsTrue(Value(1)));
    EXPECT_FALSE(ValueIsTrue(Value(0)));
    EXPECT_TRUE(ValueIsTrue(Value(-1)));
    EXPECT_TRUE(ValueIsTrue(Value(std::numeric_limits<std::uint64_t>::max())));
    EXPECT_TRUE(ValueIsTrue(Value(std::numeric_limits<std::int64_t>::min())));
    EXPECT_TRUE(ValueIsTrue(Value(std::uint64_t{1} << 40)));
    EXPECT_FALSE(ValueIsTrue(Value(0.0)));
    EXPECT_FALSE(ValueIsTrue(Value(-0.0)));
    EXPECT_TRUE(ValueIsTrue(Value(0.25)));
    EXPECT_TRUE(ValueIsTrue(Value(std::nan(""))));
    EXPECT_FALSE(ValueIsTrue(Value()));
    EXPECT_FALSE(ValueIsTrue(Value("true")));
    EXPECT_FALSE(ValueIsTrue(Value("1")));
    EXPECT_FALSE(ValueIsTrue(Value(rapidjson::kObjectType)));
    EXPECT_FALSE(ValueIsTrue(Value(rapidjson::kArrayType)));

    CProtocalJson json;
    ASSERT_TRUE(json.Parse(R"({"params":{"data":[{"result":true,"dhcp":0.0,"on":1}]}})"));
    EXPECT_TRUE(ValueIsTrue(json.GetDataValue(0, "result")));
    EXPECT_FALSE(ValueIsTrue(json.GetDataValue(0, "dhcp")));
    EXPECT_TRUE(ValueIsTrue(json.GetDataValue(0, "on")));
    EXPECT_FALSE(ValueIsTrue(json.GetDataValue(0, "missing")));
}

}  // namespace
