// Plan files as operators bring them: the window's export edited in a spreadsheet, and
// files written by scripts with member names.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "device/PlanFile.h"

namespace {

const QByteArray kExportHeader =
    "\xEF\xBB\xBF" + QString::fromUtf8("设备序列号,IPv4地址,端口,DHCP,子网掩码,默认网关,DNS服务器,物理地址,描述\r\n").toUtf8();

TEST(PlanFile, ReadsTheExportWithItsBomAndChineseTitles)
{
    const QByteArray file = kExportHeader +
                            QString::fromUtf8("BR1,10.77.0.20,8000,禁用,255.255.255.0,10.77.0.254,10.77.0.254,"
                                              "00:11:22:33:44:55,\"Lab, rack 2\"\r\n"
                                              "'-BR2,10.77.0.9,8000,启用,,,,,\r\n")
                                .toUtf8();
    const Plan plan = ParsePlan(file);
    ASSERT_TRUE(plan.problems.empty()) << PlanProblemText(plan.problems[0]).toStdString();
    ASSERT_EQ(plan.rows.size(), 2u);
    EXPECT_EQ(plan.rows[0].serialNo, "BR1");
    EXPECT_EQ(plan.rows[0].mac, "00:11:22:33:44:55");
    EXPECT_EQ(plan.rows[0].settings.address, "10.77.0.20");
    EXPECT_EQ(plan.rows[0].settings.gateway, "10.77.0.254");
    EXPECT_FALSE(plan.rows[0].settings.dhcp);
    EXPECT_EQ(plan.rows[1].line, 3);
    // The spreadsheet guard's apostrophe is not part of the serial number.
    EXPECT_EQ(plan.rows[1].serialNo, "-BR2");
    EXPECT_TRUE(plan.rows[1].settings.dhcp);
}

TEST(PlanFile, ReadsMemberNamesInAnyOrderAndEveryDhcpSpelling)
{
    const Plan plan = ParsePlan("dhcp,serialNo,address,subnetMask,gateway,dns\n"
                                "OFF,A,10.0.0.2,255.0.0.0,10.0.0.1,10.0.0.1\n"
                                "true,B,,,,\n"
                                "On,C,,,,\n"
                                "false,D,10.0.0.3,255.0.0.0,10.0.0.1,10.0.0.1\n");
    ASSERT_TRUE(plan.problems.empty());
    ASSERT_EQ(plan.rows.size(), 4u);
    EXPECT_FALSE(plan.rows[0].settings.dhcp);
    EXPECT_EQ(plan.rows[0].settings.subnetMask, "255.0.0.0");
    EXPECT_TRUE(plan.rows[1].settings.dhcp);
    EXPECT_TRUE(plan.rows[2].settings.dhcp);
    EXPECT_FALSE(plan.rows[3].settings.dhcp);
    EXPECT_TRUE(plan.rows[0].mac.isEmpty());
}

TEST(PlanFile, BadRowsAreProblemsNamingTheirLines)
{
    const Plan plan = ParsePlan("serialNo,address,subnetMask,gateway,dns,dhcp,mac\n"
                                "A,10.0.0.2,255.0.0.0,10.0.0.1,10.0.0.1,maybe,\n" // 2: DHCP
                                ",10.0.0.2,255.0.0.0,10.0.0.1,10.0.0.1,off,\n"    // 3: no serial
                                "B,10.0.0.x,255.0.0.0,10.0.0.1,10.0.0.1,off,\n"   // 4: address
                                "C,10.0.0.4,255.0.0.0,10.0.0.1,10.0.0.1,off\n"    // 5: short
                                "D,10.0.0.5,255.0.0.0,10.0.0.1,10.0.0.1,off,M1\n" // kept
                                "D,10.0.0.6,255.0.0.0,10.0.0.1,10.0.0.1,off,M2\n" // kept: other MAC
                                "D,10.0.0.7,255.0.0.0,10.0.0.1,10.0.0.1,off,\n"   // 8: duplicate
                                "E,\"10.0.0.8,255.0.0.0,10.0.0.1,10.0.0.1,off,\n"); // 9: quote
    std::vector<std::pair<PlanProblem::Kind, int>> seen;
    for (const PlanProblem &problem : plan.problems)
        seen.emplace_back(problem.kind, problem.line);
    const std::vector<std::pair<PlanProblem::Kind, int>> expected{
        {PlanProblem::BadQuoting, 9}, {PlanProblem::BadDhcp, 2},      {PlanProblem::NoSerial, 3},
        {PlanProblem::BadAddress, 4}, {PlanProblem::FieldCount, 5},   {PlanProblem::DuplicateSerial, 8}};
    EXPECT_EQ(seen, expected);
    ASSERT_EQ(plan.rows.size(), 2u);
    EXPECT_EQ(plan.rows[1].mac, "M2");
}

TEST(PlanFile, AFileWithoutAKnownHeaderIsRefused)
{
    const Plan plan = ParsePlan("serial,ip\nA,10.0.0.2\n");
    ASSERT_EQ(plan.problems.size(), 1u);
    EXPECT_EQ(plan.problems[0].kind, PlanProblem::NoHeader);
    EXPECT_TRUE(plan.rows.empty());
    EXPECT_EQ(ParsePlan(QByteArray(kMaxPlanFileBytes + 1, 'x')).problems[0].kind, PlanProblem::TooLarge);
}

TEST(PlanFile, BadBytesDuplicateColumnsAndFloodsAreRefusedNotCut)
{
    const QByteArray header = "serialNo,address,subnetMask,gateway,dns,dhcp\n";
    const QByteArray row = "A,10.0.0.2,255.255.255.0,10.0.0.1,10.0.0.1,off\n";
    // A NUL byte does not end the text early: the plan is refused, naming its line.
    Plan plan = ParsePlan(header + row + QByteArray("B,10.0.0.3", 10) + QByteArray(1, '\0') + "\n");
    ASSERT_EQ(plan.problems.size(), 1u);
    EXPECT_EQ(plan.problems[0].kind, PlanProblem::Encoding);
    EXPECT_EQ(plan.problems[0].line, 3);
    plan = ParsePlan(header + "A,10.0.0.2,255.255.255.0,10.0.0.1,10.0.0.1,\xFF\xFEoff\n");
    ASSERT_EQ(plan.problems.size(), 1u);
    EXPECT_EQ(plan.problems[0].kind, PlanProblem::Encoding);
    EXPECT_EQ(plan.problems[0].line, 2);
    // A column named twice (in two spellings) is refused, not read from the first.
    plan = ParsePlan("serialNo,address,subnetMask,gateway,dns,dhcp,IPv4 Address\n" + row);
    ASSERT_EQ(plan.problems.size(), 1u);
    EXPECT_EQ(plan.problems[0].kind, PlanProblem::DuplicateColumn);
    EXPECT_EQ(plan.problems[0].text, "address");
    // A million bad lines keep twenty problems and count the rest.
    QByteArray flood = header;
    for (int i = 0; i < 1000000; ++i)
        flood += ",\n";
    plan = ParsePlan(flood + "\"A,");
    ASSERT_EQ(plan.problems.size(), static_cast<size_t>(kMaxListedProblems));
    EXPECT_EQ(plan.problemCount, 1000001);
    EXPECT_EQ(plan.problems[0].kind, PlanProblem::BadQuoting); // the quote that ended the reading comes first
    EXPECT_EQ(plan.problems[0].line, 1000002);
    EXPECT_EQ(plan.problems[1].line, 2);
    // A row of thousands of fields keeps a bounded number; a value far out still counts.
    plan = ParsePlan(header + row.left(row.size() - 1) + QByteArray(5000, ',') + "x\n" + row.left(row.size() - 1) +
                     QByteArray(5000, ',') + "\n");
    ASSERT_EQ(plan.problems.size(), 1u);
    EXPECT_EQ(plan.problems[0].kind, PlanProblem::FieldCount);
    EXPECT_EQ(plan.problems[0].line, 2);
    EXPECT_EQ(plan.rows.size(), 1u); // only empty fields after the header's columns: kept
}

TEST(PlanFile, OnlyRegularFilesAreReadAndAStreamWaitCanBeStopped)
{
    QTemporaryDir folder;
    const QString fifo = folder.filePath("plan.fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    Plan plan;
    QString error;
    // Neither blocks: a FIFO without a writer, a folder.
    EXPECT_FALSE(ReadPlanFile(fifo, plan, error));
    EXPECT_EQ(error, "not a regular file");
    EXPECT_FALSE(ReadPlanFile(folder.path(), plan, error));

    // Standard input that never ends is given up when asked.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    EXPECT_FALSE(ReadPlanStream(pipeEnds[0], plan, error, [&] { return stop.load(); }));
    EXPECT_EQ(error, "interrupted");
    stopper.join();
    // One that ends is read whole.
    const QByteArray text = "serialNo,address,subnetMask,gateway,dns,dhcp\nA,10.0.0.2,255.255.255.0,10.0.0.1,10.0.0.1,off\n";
    ASSERT_EQ(write(pipeEnds[1], text.constData(), static_cast<size_t>(text.size())), text.size());
    close(pipeEnds[1]);
    ASSERT_TRUE(ReadPlanStream(pipeEnds[0], plan, error, [] { return false; }));
    close(pipeEnds[0]);
    EXPECT_EQ(plan.rows.size(), 1u);
}

} // namespace
