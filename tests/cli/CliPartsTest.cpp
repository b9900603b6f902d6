// brenu-search's pieces without a network: the listing formats.
#include <gtest/gtest.h>

#include <clocale>

#include "cli/Output.h"
#include "tests/support/TestDevice.h"

namespace {


ListedDevice Device(const QString &serial, const QString &address = "10.77.0.2")
{
    return TestDevice<ListedDevice>(serial, address);
}

TEST(Listing, FormatsQuoteEscapeAndReportTheOverflow)
{
    ListedDevice a = Device("A1");
    a.description = QString::fromUtf8("say \"hi\", twice\r\nok");
    ListedDevice b = Device(QString::fromUtf8("仓库"));
    b.description = QString::fromUtf8("\x1b[31mred\xe2\x80\xae");
    b.dhcp = true;
    const std::vector<ListedDevice> devices{a, b};

    const std::string csv = cli::FormatListing(devices, cli::Format::Csv, nullptr);
    EXPECT_EQ(csv, "serialNo,address,port,dhcp,subnetMask,gateway,dns,mac,description\r\n"
                   "A1,10.77.0.2,8000,false,255.255.255.0,10.77.0.254,10.77.0.253,02:00:00:00:00:01,"
                   "\"say \"\"hi\"\", twice\r\nok\"\r\n"
                   "仓库,10.77.0.2,8000,true,255.255.255.0,10.77.0.254,10.77.0.253,02:00:00:00:00:01,"
                   "\x1b[31mred\xe2\x80\xae\r\n");

    // The table never passes control characters to a terminal and aligns wide
    // characters by their columns.
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr); // as brenu-search sets it
    const std::string table = cli::FormatListing(devices, cli::Format::Table, nullptr);
    EXPECT_EQ(table.find('\x1b'), std::string::npos);
    EXPECT_EQ(table.find("\xe2\x80\xae"), std::string::npos);
    EXPECT_NE(table.find("?[31mred?"), std::string::npos) << table;
    EXPECT_NE(table.find("\nA1" + std::string(13, ' ') + "10.77.0.2"), std::string::npos) << table;
    EXPECT_NE(table.find("\n仓库" + std::string(11, ' ') + "10.77.0.2"), std::string::npos) << table;

    const cli::Overflow overflow{20000, 7};
    const std::string json = cli::FormatListing({a}, cli::Format::Json, &overflow);
    EXPECT_EQ(json, "[{\"serialNo\":\"A1\",\"address\":\"10.77.0.2\",\"port\":8000,\"dhcp\":false,"
                    "\"subnetMask\":\"255.255.255.0\",\"gateway\":\"10.77.0.254\",\"dns\":\"10.77.0.253\","
                    "\"mac\":\"02:00:00:00:00:01\",\"description\":\"say \\\"hi\\\", twice\\r\\nok\","
                    "\"interface\":\"\",\"localAddress\":\"\",\"subnet\":\"local\",\"conflict\":[]},"
                    "{\"overflow\":true,\"limit\":20000,\"ignoredAnswers\":7}]\n");
    const std::string tableOver = cli::FormatListing({a}, cli::Format::Table, &overflow);
    EXPECT_NE(tableOver.find("(20000); 7 answers of further devices were not listed.\n"), std::string::npos);
    const std::string jsonl = cli::FormatListing({}, cli::Format::Jsonl, &overflow);
    EXPECT_EQ(jsonl, "{\"overflow\":true,\"limit\":20000,\"ignoredAnswers\":7}\n");
}

TEST(Listing, DeviceTextCannotRunInASpreadsheetNorReachATerminalOrAScriptRaw)
{
    ListedDevice d = Device("=1+2");
    d.description = QString::fromUtf8("\x1b]0;owned\x07 \xc2\x9b" "2J \xe2\x80\xae" "cod.exe\xe2\x80\xa8");
    d.gateway = "@SUM(A1)";
    d.dns = "-1";
    const std::string csv = cli::FormatListing({d}, cli::Format::Csv, nullptr);
    EXPECT_NE(csv.find("\r\n'=1+2,10.77.0.2,8000,false,255.255.255.0,'@SUM(A1),'-1,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\x1b]0;owned\x07"), std::string::npos); // a file keeps the text as sent
    const std::string onTerminal = cli::FormatListing({d}, cli::Format::Csv, nullptr, true);
    EXPECT_NE(onTerminal.find(",?]0;owned? ?2J ?cod.exe?\r\n"), std::string::npos) << onTerminal;

    // JSON escapes every unsafe character, so a script's terminal or log shows none raw.
    for (cli::Format format : {cli::Format::Json, cli::Format::Jsonl}) {
        const std::string json = cli::FormatListing({d}, format, nullptr, true);
        EXPECT_NE(json.find(R"("description":"\u001B]0;owned\u0007 \u009B2J \u202Ecod.exe\u2028")"),
                  std::string::npos)
            << json;
    }
    DeviceEvent event;
    event.device = d;
    EXPECT_NE(cli::FormatEvent(event, cli::Format::Jsonl, "t", 1).find(R"(\u202Ecod.exe)"), std::string::npos);
    EXPECT_EQ(cli::FormatEvent(event, cli::Format::Table, "t", 1).find("\x1b"), std::string::npos);
}

TEST(Listing, WhereADeviceWasHeardAndItsConflictsAreShown)
{
    ListedDevice far = Device("F1", "10.77.1.5");
    far.interfaceName = "brw0";
    far.localAddress = "10.77.0.1";
    far.foreignSubnet = true;
    far.conflict = QStringList{"serial", "address"};
    const std::string json = cli::DeviceJson(far);
    EXPECT_NE(json.find(R"("interface":"brw0","localAddress":"10.77.0.1","subnet":"foreign",)"
                        R"("conflict":["serial","address"]})"),
              std::string::npos)
        << json;
    const std::string table = cli::FormatListing({far, Device("F2")}, cli::Format::Table, nullptr);
    EXPECT_NE(table.find("\nNote: F1 (02:00:00:00:00:01, 10.77.1.5): another device answers with this serial "
                         "number; another serial number answers from this address; outside every subnet of brw0, "
                         "reached on-link\n"),
              std::string::npos)
        << table;
    EXPECT_EQ(table.find("Note: F2"), std::string::npos) << table;
}

} // namespace

// In a locale that cannot show UTF-8: JSON keeps every character as escapes (a
// surrogate pair above U+FFFF), the table shows one '?' per character, and a bad
// byte counts as one character.
TEST(Listing, NonAsciiTextInAnAsciiLocale)
{
    const std::string text = "SN-\xE4\xBB\x93 \xF0\x9F\x98\x80 \xFF!";
    EXPECT_EQ(cli::AsciiOnly(text, true), "SN-\\u4ED3 \\uD83D\\uDE00 \\uFFFD!");
    EXPECT_EQ(cli::AsciiOnly(text, false), "SN-? ? ?!");
    EXPECT_EQ(cli::AsciiOnly("plain", true), "plain");
}
