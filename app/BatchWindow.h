#pragma once
// The batch window: many devices given new network settings at once, from a start
// address (a preview of each device's new address, probed on the link) or from a plan
// file, sent and verified without blocking the user-interface thread. The sends run
// on the batch run's threads (device/Batch.h), the probes on a thread of their own;
// the window only polls them, and the main window hands it every search answer.
#include <QDialog>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "app/BatchModel.h"
#include "app/WindowLayout.h"
#include "device/AddressPlan.h"
#include "device/Batch.h"
#include "kit/KeyedHash.h"

class QCheckBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableView;
class QTimer;

struct BatchWindowOptions {
    // How updates are sent; SendUpdate when empty.
    UpdateSender sender;
    // Which candidates answer on the link, called on a worker thread; the on-link probe
    // through this machine's interfaces when empty.
    NeighbourProbe probe;
    // This machine's addresses; ReadLocalSubnets() when not given.
    std::optional<LocalSubnets> local;
    int verifyTimeoutMs = kVerifyTimeoutMs;
    // Ask before sending.
    bool confirm = true;
};

class BatchWindow : public QDialog {
    Q_OBJECT
public:
    // How long the preview waits after the last edit before probing its addresses:
    // typing a start address makes a new plan per key; only the one typed last is probed.
    static constexpr int kProbeDelayMs = 300;
    // How often a run's progress is shown.
    static constexpr int kPollMs = 100;

    explicit BatchWindow(QWidget *parent = nullptr, BatchWindowOptions options = {});
    ~BatchWindow() override;

    // The devices to offer (the main list). Ignored while a run is under way.
    void SetDevices(std::vector<BatchRow> rows);
    BatchModel *Model() const { return m_model; }
    // A run is under way until the window has shown its final statuses.
    bool Running() const;
    // Reads a plan file: the rows it matches are checked and show its values. False
    // (with a message box) when the file cannot be read or has problems.
    bool LoadPlan(const QString &path);
    // The list as CSV: the export's nine columns with each device's new settings
    // where it has some, and a status column.
    bool SaveResult(const QString &path);
    // The start address, mask, gateway and DNS fields as typed. Until the operator
    // types into them or they are set here (the values of the last session), they
    // follow the checked devices (SuggestBatchSettings).
    BatchFields Fields() const;
    void SetFields(const BatchFields &fields);
    // Probes still to come for the current preview.
    bool Probing() const { return m_probeThread.joinable() || m_probeDue; }

public slots:
    // A search answer as the searchers hand it on, sent from `source` (its address).
    void Observe(QByteArray answer, QString source = QString());
    // The same answer, already read, with where it was heard and how long ago another
    // source last answered for the same device (-1: none).
    void ObserveRecord(const HeardDevice &answer, int64_t otherSourceAgeMs = -1);
    void Apply();
    // Plans the new addresses again from the fields and the checked rows.
    void Recompute();

private slots:
    void StartProbe();
    void Poll();
    void ImportClicked();
    void SaveClicked();

private:
    // m_local read again (when not fixed by the options).
    void ReadLocal();
    // See Fields.
    void SuggestFields();
    void ProbeDone(kit::KeyedSet<Ipv4> used);
    void ShowRunning(bool running);
    std::vector<BatchEntry> Entries();
    std::vector<HeardDevice> AllDevices() const;

    BatchWindowOptions m_options;
    // This machine's addresses (options.local when given): read again whenever the
    // window is filled and before a run is checked, so an address added meanwhile is
    // never planned or sent.
    LocalSubnets m_local;
    BatchModel *m_model = nullptr;
    QTableView *m_view = nullptr;
    QCheckBox *m_dhcp = nullptr;
    QLineEdit *m_start = nullptr, *m_mask = nullptr, *m_gateway = nullptr, *m_dns = nullptr;
    QPushButton *m_apply = nullptr, *m_import = nullptr, *m_save = nullptr;
    QProgressBar *m_progress = nullptr;
    QTimer *m_probeTimer = nullptr;
    QTimer *m_pollTimer = nullptr;

    // The address plan of the checked rows (row order), and what it stands on.
    std::vector<int> m_plannedRows;
    std::vector<Ipv4> m_planned;
    Ipv4 m_planMask = 0;
    kit::KeyedSet<Ipv4> m_answering;
    kit::KeyedSet<Ipv4> m_probed;
    std::thread m_probeThread;
    bool m_probeDue = false;
    bool m_applyWhenProbed = false;
    // The operator typed into the fields, or they hold the values of the last session.
    bool m_fieldsChosen = false;

    // A plan file's entries and the row of each (-1: no device); empty without a plan.
    std::vector<BatchEntry> m_planEntries;
    std::vector<int> m_planRows;

    std::unique_ptr<BatchJob> m_job;
    std::vector<int> m_jobRows;
};
