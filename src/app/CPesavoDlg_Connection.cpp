// The operator's side of the serial connection as the window shows it: the port list, opening and
// closing. Checking, searching and the Test mode's cycle are serial::ConnectionControl's; its
// worker reaches the window only through the calls below, each run on the window's thread and
// given up when the worker is stopped.
#include "CPesavoDlg.h"

#include "Notices.h"
#include "UiCall.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace {

constexpr int kLockedControls[] = {CPesavoDlg::IDC_PORT_GROUP, CPesavoDlg::IDC_PORT, CPesavoDlg::IDC_REFRESH,
                                   CPesavoDlg::IDC_LANGUAGE_GROUP, CPesavoDlg::IDC_LANGUAGE,
                                   CPesavoDlg::IDC_LANGUAGE_OK};

}  // namespace

// ---- port list ----

void CPesavoDlg::FillPortList() {
    const QString any = ReadLanguageText(u"Dialog_Caption", u"Port_NoChose");
    m_cmbPort->setCurrentIndex(-1);
    m_cmbPort->clear();
    m_cmbPort->addItem(any);
    const int count = std::min(m_SerialPort.PortCount(), CSerialPort::kMaxPorts);
    for (int i = 1; i <= count; ++i) {
        m_cmbPort->addItem(QStringLiteral("COM%1").arg(m_SerialPort.PortAt(i)));
        // The device behind each item, so the operator can tell which one is the scale.
        m_cmbPort->setItemData(i, QString::fromStdString(m_SerialPort.DeviceAt(i)), Qt::ToolTipRole);
    }
    m_cmbPort->setCurrentIndex(0);
    FitControls();
}

void CPesavoDlg::RefreshPortList() {
    m_cmbPort->setCurrentIndex(-1);
    m_cmbPort->clear();
    if (!m_SerialPort.EnumeratePorts()) {
        m_MyMsg.Show(CMyMsg::ModeOk, ReadLanguageText(u"Message", u"Serial_Port_Abnormal"));
        return;
    }
    FillPortList();
}

// ---- shared steps ----

void CPesavoDlg::ClearHandshakeBytes() {
    std::lock_guard lock(m_rxMutex);
    std::fill_n(m_RxBuffer.begin(), 10, std::uint8_t{0x20});
}

void CPesavoDlg::UpdateControls() {
    const bool idle = !m_tableRules.Busy();
    for (int id : kLockedControls) GetDlgItem(id)->setEnabled(!m_bConnected);
    // While a conversion or a save owns the table, nothing may start another job or change rows.
    for (int id : {IDC_SAVE, IDC_CLEAR, IDC_UNIT_KG, IDC_UNIT_LB, IDC_UNIT_LBOZ}) GetDlgItem(id)->setEnabled(idle);
    GetDlgItem(IDC_LANGUAGE_OK)->setEnabled(idle && !m_bConnected);
    FitControls();  // the connect button's caption may have changed with the state
}

void CPesavoDlg::EnterConnectedState() {
    auto* button = static_cast<QPushButton*>(GetDlgItem(IDC_CONNECT));
    button->setText(ReadLanguageText(u"Dialog_Caption", u"Serial_Caption_Close"));
    button->setIcon(m_hIconConnected);
    m_bConnected = true;
    m_tableRules.NewConnection();
    UpdateControls();
    // A weighing the scale sent right behind its handshake reply is the first row, answered as
    // any other once this call (which the controller waits for) is over. Less than a frame of
    // it waits a moment for its rest, as the engine waits for the rest of any frame.
    m_earlyPart = m_link.TakeEarlyBytes();
    if (m_earlyPart.empty()) return;
    // (Its rest may itself be held by the engine for a gap, and a busy machine adds its own
    // delays: wait well beyond that. A scale waits for the answer, so nothing else comes.)
    const bool whole = m_earlyPart.size() >= BatchAssembler::kFrameBytes;
    QTimer::singleShot(whole ? 0 : 250, this, [this] {
        const std::vector<std::uint8_t> part = std::exchange(m_earlyPart, {});
        if (!part.empty() && m_bConnected) OnSerialData(part.data(), static_cast<int>(part.size()));
    });
}

// ---- commands ----

void CPesavoDlg::ToggleConnection() {
    if (m_bConnected && m_tableRules.Busy()) {
        // Closing asks whether to save or discard the rows: that waits for the running job.
        m_tableRules.Hold(weighing::TableRules::kDisconnect);
        return;
    }
    const CommandScope scope(*this);
    if (m_bConnected) {
        if (m_Model.rowCount() > 0) {
            const std::vector<weighing::RowId> asked = m_Model.Table().Ids();  // what the question is about
            const int answer = m_MyMsg.Show(CMyMsg::ModeYesNo, ReadLanguageText(u"Message", u"Port_Close"));
            // Weighings came on while the question was open: if they filled the table, the row
            // limit has ended the connection and looks after the rows.
            if (!m_bConnected) return;
            if (answer == CMyMsg::IdYes) {
                if (!SaveTable(false)) return;  // save cancelled: stay connected
                if (!m_bConnected) return;      // the row limit, during the save
            } else if (answer == CMyMsg::IdNo) {
                m_Model.RemoveRows(asked);  // rows that came while it was open stay
                CommitJournal();
                SetupTable();
            } else if (answer == CMyMsg::IdCancel) {
                return;
            }
        }
        m_SerialPort.QueueByte(weighing::kDisconnectNotice);
        // The notice leaves before the monitor ends, and the port goes back to the system.
        m_SerialPort.RequestStop(true, true);
        m_link.Disconnected();
        auto* button = static_cast<QPushButton*>(GetDlgItem(IDC_CONNECT));
        button->setText(ReadLanguageText(u"Dialog_Caption", u"Serial_Caption_Open"));
        button->setIcon(m_hIconDisconnected);
        m_bConnected = false;
        UpdateControls();
        StartTestMode();
        return;
    }

    DoDataExchange();
    const int item = m_cmbPort->currentIndex();
    if (item > 0) {
        m_link.Connect(item);  // ignored while a check or search of the operator's runs
        return;
    }
    // Item 0, or no item at all (an empty list): search every port, unless a search runs.
    const serial::LinkState state = m_link.State();
    if (state == serial::LinkState::Checking || state == serial::LinkState::Searching) {
        if (!m_link.TestMode()) return;
    }
    RefreshPortList();
    if (m_SerialPort.PortCount() <= 0) {
        m_MyMsg.Show(CMyMsg::ModeOk, ReadLanguageText(u"Message", u"No_Port"));
        return;
    }
    m_link.Connect(0);
}

void CPesavoDlg::StartTestMode() {
    if (m_link.TestMode()) return;
    SetCaption(IDC_TEST, QStringLiteral("测试中... (结束测试请关闭程序)"));
    m_link.StartTestMode();  // searches now, or once whatever is connected or checked has ended
}

// ---- the controller's calls (from its worker) ----

bool CPesavoDlg::ShowConnected(std::stop_token stop) {
    return ui::RunOnUiThread([this] { EnterConnectedState(); }, stop);
}

bool CPesavoDlg::RefreshPorts(std::stop_token stop) {
    return ui::RunOnUiThread([this] { RefreshPortList(); }, stop);
}

QString CPesavoDlg::MessageText(const char16_t* key, const char* english) {
    const QString text = ReadLanguageText(u"Message", key);
    return text.isEmpty() ? QString::fromUtf8(english) : text;
}

void CPesavoDlg::Tell(serial::Notice notice, int port, const serial::OpenFailure& why, std::stop_token stop) {
    QString text;
    switch (notice) {
        case serial::Notice::ConnectionFails: text = ReadLanguageText(u"Message", u"Connection_Fails"); break;
        case serial::Notice::AutoError: text = ReadLanguageText(u"Message", u"Auto_Error"); break;
        case serial::Notice::NoPort: text = ReadLanguageText(u"Message", u"No_Port"); break;
        case serial::Notice::SettingsRefused:
            // The engine's own box, naming the call the device refused.
            ShowSerialError(m_SerialPort.CommErrorText(why.refusedCall, why.refusedError), stop);
            return;
        case serial::Notice::CannotOpen: {
            std::shared_ptr<const localisation::LanguageTexts> texts;
            {
                std::lock_guard lock(m_textMutex);
                texts = m_texts;
            }
            text = QString::fromStdU16String(
                localisation::CannotOpenText(texts ? *texts : localisation::LanguageTexts(), port, why.error));
            break;
        }
    }
    m_MyMsg.Show(CMyMsg::ModeOk, text, stop);
}

// ---- the engine's notifications ----

void CPesavoDlg::OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                                 std::stop_token stop) {
    if (message == WM_SERIAL_DATA && wait) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(wParam);
        const int count = static_cast<int>(lParam);
        ui::RunOnUiThread([&] { OnSerialData(bytes, count); }, stop);
    } else if (message == WM_SERIAL_SENT) {
        ui::PostToUiThread(this, [this] { NoteAnswerLeft(); });
    } else if (message == WM_SERIAL_READ_FAILED) {
        // The device failed under an open connection (unplugged, simulator ended): close it
        // as the operator would. Delivered without waiting, and ignored while no connection is
        // up — the running check or search moves on by itself.
        ui::PostToUiThread(this, [this] {
            if (m_bConnected) ToggleConnection();
        });
    }
    // The other notifications have no handler in the window.
}

void CPesavoDlg::ShowSerialError(const std::string& text, std::stop_token stop) {
    m_MyMsg.ShowSystemError(QString::fromStdString(text), stop);
}

void CPesavoDlg::OnSerialData(const std::uint8_t* bytes, int count) {
    const CommandScope scope(*this);  // a frame's questions are not the place for held work
    if (m_bConnected && !m_earlyPart.empty()) {
        // The first frame began right behind the handshake reply: it goes first, whole, or with
        // this batch as its rest.
        std::vector<std::uint8_t> early = std::exchange(m_earlyPart, {});
        if (early.size() < BatchAssembler::kFrameBytes) {
            early.insert(early.end(), bytes, bytes + std::max(count, 0));
            OnSerialData(early.data(), static_cast<int>(early.size()));
            return;
        }
        OnSerialData(early.data(), static_cast<int>(early.size()));
        if (!m_bConnected) {
            m_link.Received(bytes, static_cast<std::size_t>(std::max(count, 0)));
            return;
        }
    }
    {
        std::lock_guard lock(m_rxMutex);
        m_nRxCount = count;
        std::copy_n(bytes, std::min(count, kRxBufferSize), m_RxBuffer.begin());
    }
    if (m_bConnected) {
        ProcessFrame();
        ClearHandshakeBytes();
    } else {
        m_link.Received(bytes, static_cast<std::size_t>(std::max(count, 0)));
    }
}
