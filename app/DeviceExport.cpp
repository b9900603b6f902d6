// The device list handed on: the selected row to the clipboard, every row to a CSV file.
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QStandardPaths>

#include "app/BrenuSearchTools.h"
#include "app/DeviceFilter.h"
#include "app/DeviceListText.h"
#include "app/DeviceModel.h"
#include "device/SaveFile.h"
#include "app/UiTexts.h"
#include "ui_BrenuSearchTools.h"

void BrenuSearchTools::slot_CopyRow()
{
    const QModelIndexList rows = ui->tabView_brenu->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(DeviceListText::RowText(*m_model, rows.first().row()));
}

void BrenuSearchTools::slot_ExportList()
{
    // An account without a documents folder gets its home folder instead.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    const QString suggested =
        QDir(folder).filePath(DeviceListText::ExportFileName(QDateTime::currentDateTime()));
    QFileDialog dialog(this, UiText::ExportTitle(), suggested, UiText::ExportFilter());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ExportListTo(dialog.selectedFiles().first());
}

bool BrenuSearchTools::ExportListTo(const QString &path)
{
    // Written beside the target and renamed only when complete, so a failure leaves
    // whatever was there before (or nothing) under the name.
    // The rows the table shows, in its order.
    const QString reason = SaveFileAtomically(path, DeviceListText::Csv(*m_model, m_filter->ShownRows()));
    if (reason.isEmpty())
        return true;
    QMessageBox::warning(this, UiText::BoxTitle(), UiText::ExportFailed().arg(QDir::toNativeSeparators(path), reason),
                         QMessageBox::Ok);
    return false;
}
