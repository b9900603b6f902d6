#include "device/PlanFile.h"

#include <QFile>
#include <QStringList>
#include <QtGlobal>
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QStringDecoder>
#else
#include <QTextCodec>
#endif

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "device/Ipv4Text.h"
#include "device/ColumnTitles.h"
#include "device/KeyedText.h"
#include "device/SaidText.h"

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

// The most fields of a record that are kept. The export has ten columns and a sheet
// an operator prepares may carry more of its own (notes, locations), which the header
// ignores; a record with more than 256 is not a plan row, and keeping every field of a
// wrong file's one long line of commas would hold millions of strings.
constexpr int kMaxPlanFields = 256;

struct Record {
    int line = 0;
    QStringList fields;       // the first kMaxPlanFields
    bool moreNonEmpty = false; // a field after those is not empty
};

// Splits the text into RFC 4180 records and hands each non-blank one to `take` as it
// ends, so that only one record is held at a time (a wrong file of millions of short
// lines costs no more memory than its text). A quoted field that is never closed ends
// the reading with a problem on the line where the field began.
void SplitRecords(const QString &text, std::optional<PlanProblem> &problem, const std::function<void(const Record &)> &take)
{
    Record record;
    QString field;
    int line = 1;
    record.line = 1;
    bool quoted = false, fieldStarted = false;
    int quoteLine = 0;
    const int n = text.size();
    auto endField = [&] {
        if (record.fields.size() < kMaxPlanFields)
            record.fields.append(field);
        else
            record.moreNonEmpty = record.moreNonEmpty || !field.trimmed().isEmpty();
        field.clear();
    };
    auto endRecord = [&] {
        endField();
        fieldStarted = false;
        const bool blank = record.fields.size() == 1 && record.fields[0].trimmed().isEmpty();
        if (!blank)
            take(record);
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
            endField();
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
        return;
    }
    endRecord();
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

// Which field holds each plan column (-1: none); nullopt when the header is not one
// (`problem` then says why: a column missing, or one named twice, which would leave
// the row's value to whichever of the two was read).
std::optional<std::vector<int>> ReadHeader(const QStringList &titles, int line, PlanProblem &problem)
{
    std::vector<int> where(PColumnCount, -1);
    for (int i = 0; i < titles.size(); ++i) {
        const QString title = titles[i].trimmed();
        for (const ColumnName &name : kNames) {
            if (title == DeviceColumnTitle(name.tableColumn) ||
                title.compare(DeviceColumnEnglishTitle(name.tableColumn), Qt::CaseInsensitive) == 0 ||
                title.compare(QLatin1String(name.member), Qt::CaseInsensitive) == 0) {
                if (where[name.column] >= 0) {
                    problem = PlanProblem{PlanProblem::DuplicateColumn, line, QString::fromLatin1(name.member)};
                    return std::nullopt;
                }
                where[name.column] = i;
            }
        }
    }
    for (const ColumnName &name : kNames) {
        if (name.column != PMac && where[name.column] < 0) {
            problem = PlanProblem{PlanProblem::NoHeader, line, QString::fromLatin1(name.member)};
            return std::nullopt;
        }
    }
    return where;
}

// The line (from 1) of byte `at` of `bytes`.
int LineOf(const QByteArray &bytes, int at)
{
    return 1 + static_cast<int>(std::count(bytes.constBegin(), bytes.constBegin() + at, '\n'));
}

// The text of `bytes` when all of them are UTF-8, an incomplete sequence at the end
// included; nullopt otherwise. Qt 6 decodes with QStringDecoder (stateless, so that a
// cut-off sequence counts as an error), Qt 5 with its UTF-8 text codec.
std::optional<QString> StrictUtf8(const QByteArray &bytes)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
#else
    QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull);
    QString text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return std::nullopt;
#endif
    return text;
}

// The text of `bytes`, read with their explicit length; nullopt, with the line of the
// first bad byte in *line, when they hold a NUL or are not UTF-8.
std::optional<QString> DecodeUtf8(const QByteArray &bytes, int *line)
{
    const int nul = bytes.indexOf('\0');
    if (nul >= 0) {
        *line = LineOf(bytes, nul);
        return std::nullopt;
    }
    std::optional<QString> text = StrictUtf8(bytes);
    if (!text) {
        // Where: the first line whose own bytes do not decode.
        int start = 0;
        for (*line = 1;; ++*line) {
            const int end = bytes.indexOf('\n', start);
            if (end < 0 || !StrictUtf8(bytes.mid(start, end - start)))
                break;
            start = end + 1;
        }
    }
    return text;
}

bool IsIpv4Cell(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return IsIpv4Text(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

// Checks one record after the header and keeps it as a row of `plan`, or notes its
// problem. `where`: the field of each plan column; `width`: the header's field count;
// `named`: the MAC addresses already planned for each serial number.
void AddRow(Plan &plan, const Record &record, const std::vector<int> &where, int width,
            KeyedTextHash<QStringList> &named)
{
    bool extra = record.moreNonEmpty;
    for (int i = width; i < record.fields.size(); ++i)
        extra = extra || !record.fields[i].trimmed().isEmpty();
    if (record.fields.size() < width || extra) {
        plan.AddProblem({PlanProblem::FieldCount, record.line, QString()});
        return;
    }
    auto cell = [&](PlanColumn column) {
        const int at = where[column];
        return at < 0 ? QString() : Unguarded(record.fields[at].trimmed());
    };
    PlanRow row;
    row.line = record.line;
    row.serialNo = cell(PSerial);
    row.mac = cell(PMac);
    if (row.serialNo.isEmpty()) {
        plan.AddProblem({PlanProblem::NoSerial, record.line, QString()});
        return;
    }
    if (!ParseDhcpText(cell(PDhcp), row.settings.dhcp)) {
        plan.AddProblem({PlanProblem::BadDhcp, record.line, cell(PDhcp)});
        return;
    }
    if (!row.settings.dhcp) {
        row.settings.address = cell(PAddress);
        row.settings.subnetMask = cell(PMask);
        row.settings.gateway = cell(PGateway);
        row.settings.dns = cell(PDns);
        for (PlanColumn column : {PAddress, PMask, PGateway, PDns}) {
            if (!IsIpv4Cell(cell(column))) {
                plan.AddProblem({PlanProblem::BadAddress, record.line, QString::fromLatin1(kNames[column].member)});
                return;
            }
        }
    }
    // A serial named twice would get two requests. Two rows may name one serial
    // only when both pin different MAC addresses (devices that share a serial).
    QStringList &macs = named[row.serialNo];
    const QString mac = row.mac.toUpper();
    if (!macs.isEmpty() && (mac.isEmpty() || macs.contains(mac) || macs.contains(QString()))) {
        plan.AddProblem({PlanProblem::DuplicateSerial, record.line, row.serialNo});
        return;
    }
    macs.append(mac);
    plan.rows.push_back(std::move(row));
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

void Plan::AddProblem(const PlanProblem &problem)
{
    if (problemCount++ < kMaxListedProblems)
        problems.push_back(problem);
}

bool ReadPlanFile(const QString &path, Plan &plan, QString &error)
{
    // Opened without waiting (a FIFO would wait for a writer) and looked at before a
    // byte is read: only a regular file is a plan.
    const QByteArray name = QFile::encodeName(path);
    const int fd = open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        error = Said(QT_TRANSLATE_NOOP3("DeviceText", "不是普通文件", "not a regular file"));
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = file.errorString();
        close(fd);
        return false;
    }
    plan = ParsePlan(file.read(kMaxPlanFileBytes + 1));
    return true;
}

bool ReadPlanStream(int fd, Plan &plan, QString &error, const std::function<bool()> &stop)
{
    // How long one wait for data lasts before `stop` is asked again.
    constexpr int kStepMs = 100;
    QByteArray bytes;
    char buffer[65536];
    while (bytes.size() <= kMaxPlanFileBytes) {
        if (stop && stop()) {
            error = Said(QT_TRANSLATE_NOOP3("DeviceText", "已中断", "interrupted"));
            return false;
        }
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, kStepMs);
        if (polled < 0 && errno != EINTR) {
            error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (polled <= 0)
            continue;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (got == 0)
            break;
        bytes.append(buffer, static_cast<int>(std::min<ssize_t>(got, kMaxPlanFileBytes + 1 - bytes.size())));
    }
    plan = ParsePlan(bytes);
    return true;
}

Plan ParsePlan(const QByteArray &bytes)
{
    Plan plan;
    if (bytes.size() > kMaxPlanFileBytes) {
        plan.AddProblem({PlanProblem::TooLarge, 0, QString()});
        return plan;
    }
    QByteArray body = bytes;
    if (body.startsWith("\xEF\xBB\xBF"))
        body.remove(0, 3);
    int badLine = 0;
    const std::optional<QString> text = DecodeUtf8(body, &badLine);
    if (!text) {
        plan.AddProblem({PlanProblem::Encoding, badLine, QString()});
        return plan;
    }
    std::optional<PlanProblem> quoting;
    bool headerRead = false;
    bool done = false; // a bad header or too many rows: the rest is only scanned for quoting
    std::optional<std::vector<int>> where;
    int width = 0;
    KeyedTextHash<QStringList> named;
    SplitRecords(*text, quoting, [&](const Record &record) {
        if (done)
            return;
        if (!headerRead) {
            headerRead = true;
            PlanProblem headerProblem{PlanProblem::NoHeader, 0, QString()};
            where = ReadHeader(record.fields, record.line, headerProblem);
            width = record.fields.size();
            if (!where) {
                plan.AddProblem(headerProblem);
                done = true;
            }
            return;
        }
        if (static_cast<int>(plan.rows.size()) >= kMaxPlanRows) {
            plan.AddProblem({PlanProblem::TooManyRows, record.line, QString()});
            done = true;
            return;
        }
        AddRow(plan, record, *where, width, named);
    });
    if (!headerRead)
        plan.AddProblem({PlanProblem::NoHeader, 1, QStringLiteral("serialNo")});
    if (quoting) {
        // Said first, as the reading ended on it: the rows before it are not the whole file.
        plan.problems.insert(plan.problems.begin(), *quoting);
        if (plan.problemCount++ >= kMaxListedProblems)
            plan.problems.pop_back();
    }
    return plan;
}

QString PlanProblemText(const PlanProblem &problem)
{
    const QString at = Said(QT_TRANSLATE_NOOP3("DeviceText", "第 %1 行: ", "line %1: ")).arg(problem.line);
    switch (problem.kind) {
    case PlanProblem::NoHeader:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText",
                                         "表头没有 '%1' 列 (应为导出文件的列标题, 或 serialNo,address,subnetMask,gateway,dns,dhcp[,mac])",
                                         "the header has no column '%1' (expected the export's titles or serialNo,address,"
                                         "subnetMask,gateway,dns,dhcp[,mac])"))
                        .arg(problem.text);
    case PlanProblem::BadQuoting:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText", "引号字段没有结束", "a quoted field is not closed"));
    case PlanProblem::FieldCount:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText", "字段数与表头不一致", "the number of fields differs from the header"));
    case PlanProblem::NoSerial:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText", "没有序列号", "no serial number"));
    case PlanProblem::BadDhcp:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText", "DHCP '%1' 不是 启用/禁用, true/false, on/off 之一", "DHCP '%1' is none of 启用/禁用, true/false, on/off")).arg(problem.text);
    case PlanProblem::BadAddress:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 不是 IPv4 地址", "%1 is not an IPv4 address")).arg(problem.text);
    case PlanProblem::DuplicateSerial:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText", "序列号 %1 已在前面的行中计划", "serial number %1 is already planned on an earlier line")).arg(problem.text);
    case PlanProblem::TooManyRows:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText", "超过 %1 行", "more than %1 rows")).arg(kMaxPlanRows);
    case PlanProblem::TooLarge:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "文件大于 %1 字节", "the file is larger than %1 bytes")).arg(kMaxPlanFileBytes);
    case PlanProblem::Encoding:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText", "含有 NUL 字节或非 UTF-8 字节", "a NUL byte or bytes that are not UTF-8"));
    case PlanProblem::DuplicateColumn:
        return at + Said(QT_TRANSLATE_NOOP3("DeviceText", "表头中 '%1' 列出现两次", "the header names column '%1' twice")).arg(problem.text);
    }
    return at;
}
