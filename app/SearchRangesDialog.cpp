#include "app/SearchRangesDialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

// The reason a range is refused, in the window's language; it follows the range it
// names ("无法搜索 %1: %2"), so a local address is named without the range.
QString RefusalSentence(const RangeRefusal &refusal)
{
    using Kind = RangeRefusal::Kind;
    switch (refusal.kind) {
    case Kind::None:
        break;
    case Kind::NotARange:
        return SearchRangesDialog::tr("不是网段 (应写作 10.78.5.0/24 或 10.78.5.10-10.78.5.99)");
    case Kind::BadPrefix:
        return SearchRangesDialog::tr("前缀长度须在 0 到 32 之间");
    case Kind::EndsReversed:
        return SearchRangesDialog::tr("起始地址大于结束地址");
    case Kind::ThisNetwork:
        return SearchRangesDialog::tr("包含 0.0.0.0/8 的地址, 它们不指向任何主机");
    case Kind::Loopback:
        return SearchRangesDialog::tr("包含环回地址 (127.0.0.0/8)");
    case Kind::Multicast:
        return SearchRangesDialog::tr("包含组播地址 (224.0.0.0/4)");
    case Kind::Broadcast:
        return SearchRangesDialog::tr("包含 255.255.255.255, 搜索本来就会发送这个广播");
    case Kind::TooLarge:
        //: %1: the most addresses a range may hold
        return SearchRangesDialog::tr("包含的地址多于 %1 个").arg(refusal.limit);
    case Kind::TotalTooLarge:
        //: %1: the most addresses all ranges together may hold
        return SearchRangesDialog::tr("所有网段合计将包含多于 %1 个地址").arg(refusal.limit);
    case Kind::LocalAddress:
        //: %1: an address of this machine that the range holds
        return SearchRangesDialog::tr("包含本机地址 %1").arg(QString::fromStdString(refusal.address));
    }
    return QString();
}

// Why `text` cannot be searched (`local`: this machine's addresses), or "".
QString RangeProblem(const QString &text, const std::vector<std::string> &local)
{
    SearchRanges one;
    RangeRefusal refusal;
    if (one.Add(text.trimmed().toStdString(), &refusal).empty())
        one.CheckLocal(local, &refusal);
    return RefusalSentence(refusal);
}

} // namespace

SearchRanges RangeSettings::Searched(const std::vector<std::string> &local, QString *problem) const
{
    SearchRanges searched;
    for (const RangeChoice &choice : ranges) {
        if (!choice.on)
            continue;
        QString why = RangeProblem(choice.text, local);
        if (why.isEmpty()) {
            RangeRefusal refusal;
            searched.Add(choice.text.trimmed().toStdString(), &refusal);
            why = RefusalSentence(refusal);
        }
        if (!why.isEmpty() && problem && problem->isEmpty())
            *problem = choice.text + QStringLiteral(": ") + why;
    }
    return searched;
}

RangeSettings ReadRangeSettings(QSettings &settings)
{
    RangeSettings read;
    settings.beginGroup(QStringLiteral("SearchRanges"));
    const QStringList texts = settings.value(QStringLiteral("ranges")).toStringList();
    const QStringList off = settings.value(QStringLiteral("off")).toStringList();
    bool ok = false;
    const unsigned rate = settings.value(QStringLiteral("rate")).toUInt(&ok);
    settings.endGroup();
    // A hand-edited file may hold anything: the count is bounded like the addresses.
    for (const QString &text : texts.mid(0, static_cast<int>(kMaxRangeAddresses)))
        read.ranges << RangeChoice{text, !off.contains(text)};
    if (ok && rate >= 1 && rate <= kMaxRangeRate)
        read.rate = rate;
    return read;
}

void WriteRangeSettings(QSettings &settings, const RangeSettings &ranges)
{
    QStringList texts, off;
    for (const RangeChoice &choice : ranges.ranges) {
        texts << choice.text;
        if (!choice.on)
            off << choice.text;
    }
    settings.beginGroup(QStringLiteral("SearchRanges"));
    settings.setValue(QStringLiteral("ranges"), texts);
    settings.setValue(QStringLiteral("off"), off);
    settings.setValue(QStringLiteral("rate"), ranges.rate);
    settings.endGroup();
}

SearchRangesDialog::SearchRangesDialog(const RangeSettings &settings, std::vector<std::string> local, QWidget *parent)
    : QDialog(parent), m_local(std::move(local))
{
    setObjectName(QStringLiteral("dlg_searchRanges"));
    setWindowTitle(tr("搜索网段"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(tr("路由器后面的设备收不到广播。在此添加它们所在的网段, 本机会向其中每个地址单独发送搜索请求。"),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("list_ranges"));
    m_list->setAccessibleName(tr("搜索网段"));
    m_list->setAccessibleDescription(tr("勾选的网段会被搜索"));
    layout->addWidget(m_list);

    auto *addRow = new QHBoxLayout;
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("edt_range"));
    m_edit->setPlaceholderText(tr("例如 10.78.5.0/24 或 10.78.5.10-10.78.5.99"));
    m_edit->setAccessibleName(tr("新网段"));
    auto *add = new QPushButton(tr("添加"), this);
    add->setObjectName(QStringLiteral("btn_addRange"));
    auto *remove = new QPushButton(tr("删除"), this);
    remove->setObjectName(QStringLiteral("btn_removeRange"));
    addRow->addWidget(m_edit, 1);
    addRow->addWidget(add);
    addRow->addWidget(remove);
    layout->addLayout(addRow);

    auto *rateRow = new QHBoxLayout;
    auto *rateLabel = new QLabel(tr("每秒请求数:"), this);
    m_rate = new QSpinBox(this);
    m_rate->setObjectName(QStringLiteral("spin_rangeRate"));
    m_rate->setRange(1, static_cast<int>(kMaxRangeRate));
    m_rate->setValue(static_cast<int>(settings.rate));
    m_rate->setAccessibleName(tr("每秒请求数"));
    rateLabel->setBuddy(m_rate);
    rateRow->addWidget(rateLabel);
    rateRow->addWidget(m_rate);
    rateRow->addStretch(1);
    layout->addLayout(rateRow);

    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("lab_rangeProblem"));
    m_problem->setStyleSheet(QStringLiteral("color: rgb(220, 80, 0);"));
    m_problem->setWordWrap(true);
    layout->addWidget(m_problem);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &SearchRangesDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SearchRangesDialog::reject);
    connect(add, &QPushButton::clicked, this, &SearchRangesDialog::AddTyped);
    connect(m_edit, &QLineEdit::returnPressed, this, &SearchRangesDialog::AddTyped);
    connect(remove, &QPushButton::clicked, this, &SearchRangesDialog::RemoveSelected);
    for (const RangeChoice &choice : settings.ranges)
        AddRow(choice);
}

void SearchRangesDialog::AddRow(const RangeChoice &choice)
{
    auto *item = new QListWidgetItem(choice.text, m_list);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(choice.on ? Qt::Checked : Qt::Unchecked);
}

bool SearchRangesDialog::AddTyped()
{
    const QString text = m_edit->text().trimmed();
    const QString why = RangeProblem(text, m_local);
    if (!why.isEmpty()) {
        m_problem->setText(tr("无法搜索 %1: %2").arg(text, why));
        return false;
    }
    if (m_list->findItems(text, Qt::MatchExactly).isEmpty())
        AddRow(RangeChoice{text, true});
    m_edit->clear();
    m_problem->clear();
    return true;
}

void SearchRangesDialog::RemoveSelected()
{
    delete m_list->currentItem();
}

RangeSettings SearchRangesDialog::Settings() const
{
    RangeSettings settings;
    for (int row = 0; row < m_list->count(); ++row) {
        const QListWidgetItem *item = m_list->item(row);
        settings.ranges << RangeChoice{item->text(), item->checkState() == Qt::Checked};
    }
    settings.rate = static_cast<unsigned>(m_rate->value());
    return settings;
}

void SearchRangesDialog::accept()
{
    QString problem;
    Settings().Searched(m_local, &problem);
    if (!problem.isEmpty()) {
        m_problem->setText(tr("无法搜索 %1").arg(problem));
        return;
    }
    QDialog::accept();
}
