// brenu-search's pieces without a network: the listing formats.
#include <gtest/gtest.h>

#include <clocale>

#include "cli/Output.h"

namespace {


DeviceRecord Device(const QString &serial, const QString &address = "10.77.0.2")
{
    DeviceRecord d;
    d.serialNo = serial;
    d.address = address;
    d.port = 8000;
    d.subnetMask = "255.255.255.0";
    d.gateway = "10.77.0.254";
    d.dns = "10.77.0.253";
    d.mac = "02:00:00:00:00:01";
    return d;
}

TEST(Listing, FormatsQuoteEscapeAndReportTheOverflow)
{
    DeviceRecord a = Device("A1");
    a.description = QString::fromUtf8("say \"hi\", twice\r\nok");
    DeviceRecord b = Device(QString::fromUtf8("仓库"));
    b.description = QString::fromUtf8("\x1b[31mred\xe2\x80\xae");
    b.dhcp = true;
    const std::vector<DeviceRecord> devices{a, b};

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
                    "\"mac\":\"02:00:00:00:00:01\",\"description\":\"say \\\"hi\\\", twice\\r\\nok\"},"
                    "{\"overflow\":true,\"limit\":20000,\"ignoredAnswers\":7}]\n");
    const std::string tableOver = cli::FormatListing({a}, cli::Format::Table, &overflow);
    EXPECT_NE(tableOver.find("(20000); 7 answers of further devices were not listed.\n"), std::string::npos);
    const std::string jsonl = cli::FormatListing({}, cli::Format::Jsonl, &overflow);
    EXPECT_EQ(jsonl, "{\"overflow\":true,\"limit\":20000,\"ignoredAnswers\":7}\n");
}

} // namespace
