#include "device/PlanFile.h"

#include <QFile>
#include <QStringList>

#include <optional>

#include "device/Ipv4Text.h"
#include "device/ColumnTitles.h"
#include "device/KeyedText.h"

namespace {

// The plan's columns and their names in the two header layouts.
enum PlanColumn { PSerial, PAddress, PMask, PGateway, PDns, PDhcp, PMac, PColumnCount };

struct ColumnName {
    PlanColumn column;
    int tableColumn;
    const char *member;
};
const ColumnName kNames[] = {
    {PSerial, DeviceColumn::SerialNo, "serialNo"}, {PAddress, DeviceColumn::Address, "address"},
    {PMask, DeviceColumn::SubnetMask, "subnetMask"}, {PGateway, DeviceColumn::Gateway, "gateway"},
    {PDns, DeviceColumn::Dns, "dns"},               {PDhcp, DeviceColumn::Dhcp, "dhcp"},
    {PMac, DeviceColumn::Mac, "mac"},
};

struct Record {
    int line = 0;
    QStringList fields;
};

// Splits the text into RFC 4180 records. A quoted field that is never closed ends the
// reading with a problem on the line where the field began.
std::vector<Record> SplitRecords(const QString &text, std::optional<PlanProblem> &problem)
{
    std::vector<Record> records;
    Record record;
    QString field;
    int line = 1;
    record.line = 1;
    bool quoted = false, fieldStarted = false;
    int quoteLine = 0;
    const int n = text.size();
    auto endRecord = [&] {
        record.fields.append(field);
        field.clear();
        fieldStarted = false;
        const bool blank = record.fields.size() == 1 && record.fields[0].trimmed().isEmpty();
        if (!blank)
            records.push_back(std::move(record));
        record = Record();
    };
    for (int i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == QLatin1Char('"')) {
                if (i + 1 < n && text[i + 1] == QLatin1Char('"')) {
                    field += c;
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                if (c == QLatin1Char('\n'))
                    ++line;
                field += c;
            }
            continue;
        }
        if (c == QLatin1Char('"') && !fieldStarted) {
            quoted = fieldStarted = true;
            quoteLine = line;
        } else if (c == QLatin1Char(',')) {
            record.fields.append(field);
            field.clear();
            fieldStarted = false;
        } else if (c == QLatin1Char('\r') && i + 1 < n && text[i + 1] == QLatin1Char('\n')) {
            continue; // the LF ends the record
        } else if (c == QLatin1Char('\n')) {
            endRecord();
            record.line = ++line;
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    if (quoted) {
        problem = PlanProblem{PlanProblem::BadQuoting, quoteLine, QString()};
        return records;
    }
    endRecord();
    return records;
}

// Takes off the apostrophe a spreadsheet guard puts before a cell that would
// otherwise start a formula.
QString Unguarded(const QString &cell)
{
    static const QString kGuarded = QStringLiteral("=+-@\t\r");
    if (cell.size() >= 2 && cell[0] == QLatin1Char('\'') && kGuarded.contains(cell[1]))
        return cell.mid(1);
    return cell;
}

// Which field holds each plan column (-1: none); nullopt when the header is not one.
std::optional<std::vector<int>> ReadHeader(const QStringList &titles, QString &missing)
{
    std::vector<int> where(PColumnCount, -1);
    for (int i = 0; i < titles.size(); ++i) {
        const QString title = titles[i].trimmed();
        for (const ColumnName &name : kNames) {
            if (title == DeviceColumnTitle(name.tableColumn) ||
                title.compare(DeviceColumnEnglishTitle(name.tableColumn), Qt::CaseInsensitive) == 0 ||
                title.compare(QLatin1String(name.member), Qt::CaseInsensitive) == 0) {
                if (where[name.column] < 0)
                    where[name.column] = i;
            }
        }
    }
    for (const ColumnName &name : kNames) {
        if (name.column != PMac && where[name.column] < 0) {
            missing = QString::fromLatin1(name.member);
            return std::nullopt;
        }
    }
    return where;
}

bool IsIpv4Cell(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return IsIpv4Text(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

} // namespace

bool ParseDhcpText(const QString &text, bool &on)
{
    const QString t = text.trimmed();
    if (t == QStringLiteral("启用") || t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 ||
        t.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0) {
        on = true;
        return true;
    }
    if (t == QStringLiteral("禁用") || t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 ||
        t.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
        on = false;
        return true;
    }
    return false;
}

bool ReadPlanFile(const QString &path, Plan &plan, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    plan = ParsePlan(file.read(kMaxPlanFileBytes + 1));
    return true;
}

Plan ParsePlan(const QByteArray &bytes)
{
    Plan plan;
    if (bytes.size() > kMaxPlanFileBytes) {
        plan.problems.push_back({PlanProblem::TooLarge, 0, QString()});
        return plan;
    }
    QByteArray body = bytes;
    if (body.startsWith("\xEF\xBB\xBF"))
        body.remove(0, 3);
    std::optional<PlanProblem> quoting;
    const std::vector<Record> records = SplitRecords(QString::fromUtf8(body), quoting);
    if (quoting)
        plan.problems.push_back(*quoting);
    if (records.empty()) {
        plan.problems.push_back({PlanProblem::NoHeader, 1, QStringLiteral("serialNo")});
        return plan;
    }
    QString missing;
    const std::optional<std::vector<int>> where = ReadHeader(records[0].fields, missing);
    if (!where) {
        plan.problems.push_back({PlanProblem::NoHeader, records[0].line, missing});
        return plan;
    }
    const int width = records[0].fields.size();
    KeyedTextHash<QStringList> named;
    for (size_t r = 1; r < records.size(); ++r) {
        const Record &record = records[r];
        if (static_cast<int>(plan.rows.size()) >= kMaxPlanRows) {
            plan.problems.push_back({PlanProblem::TooManyRows, record.line, QString()});
            break;
        }
        bool extra = false;
        for (int i = width; i < record.fields.size(); ++i)
            extra = extra || !record.fields[i].trimmed().isEmpty();
        if (record.fields.size() < width || extra) {
            plan.problems.push_back({PlanProblem::FieldCount, record.line, QString()});
            continue;
        }
        auto cell = [&](PlanColumn column) {
            const int at = (*where)[column];
            return at < 0 ? QString() : Unguarded(record.fields[at].trimmed());
        };
        PlanRow row;
        row.line = record.line;
        row.serialNo = cell(PSerial);
        row.mac = cell(PMac);
        if (row.serialNo.isEmpty()) {
            plan.problems.push_back({PlanProblem::NoSerial, record.line, QString()});
            continue;
        }
        if (!ParseDhcpText(cell(PDhcp), row.settings.dhcp)) {
            plan.problems.push_back({PlanProblem::BadDhcp, record.line, cell(PDhcp)});
            continue;
        }
        if (!row.settings.dhcp) {
            row.settings.address = cell(PAddress);
            row.settings.subnetMask = cell(PMask);
            row.settings.gateway = cell(PGateway);
            row.settings.dns = cell(PDns);
            const PlanColumn order[] = {PAddress, PMask, PGateway, PDns};
            bool bad = false;
            for (PlanColumn column : order) {
                if (!IsIpv4Cell(cell(column))) {
                    plan.problems.push_back({PlanProblem::BadAddress, record.line,
                                             QString::fromLatin1(kNames[column].member)});
                    bad = true;
                    break;
                }
            }
            if (bad)
                continue;
        }
        // A serial named twice would get two requests. Two rows may name one serial
        // only when both pin different MAC addresses (devices that share a serial).
        QStringList &macs = named[row.serialNo];
        const QString mac = row.mac.toUpper();
        if (!macs.isEmpty() && (mac.isEmpty() || macs.contains(mac) || macs.contains(QString()))) {
            plan.problems.push_back({PlanProblem::DuplicateSerial, record.line, row.serialNo});
            continue;
        }
        macs.append(mac);
        plan.rows.push_back(std::move(row));
    }
    return plan;
}

QString PlanProblemText(const PlanProblem &problem)
{
    const QString at = QStringLiteral("line %1: ").arg(problem.line);
    switch (problem.kind) {
    case PlanProblem::NoHeader:
        return at + QStringLiteral("the header has no column '%1' (expected the export's titles or serialNo,address,"
                                   "subnetMask,gateway,dns,dhcp[,mac])")
                        .arg(problem.text);
    case PlanProblem::BadQuoting:
        return at + QStringLiteral("a quoted field is not closed");
    case PlanProblem::FieldCount:
        return at + QStringLiteral("the number of fields differs from the header");
    case PlanProblem::NoSerial:
        return at + QStringLiteral("no serial number");
    case PlanProblem::BadDhcp:
        return at + QStringLiteral("DHCP '%1' is none of 启用/禁用, true/false, on/off").arg(problem.text);
    case PlanProblem::BadAddress:
        return at + QStringLiteral("%1 is not an IPv4 address").arg(problem.text);
    case PlanProblem::DuplicateSerial:
        return at + QStringLiteral("serial number %1 is already planned on an earlier line").arg(problem.text);
    case PlanProblem::TooManyRows:
        return at + QStringLiteral("more than %1 rows").arg(kMaxPlanRows);
    case PlanProblem::TooLarge:
        return QStringLiteral("the file is larger than %1 bytes").arg(kMaxPlanFileBytes);
    }
    return at;
}
