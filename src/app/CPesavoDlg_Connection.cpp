// The operator's side of the serial connection: port list, opening and closing, the handshake
// with the scale, the automatic search over every port and the endless search of the Test mode.
// Worker threads never touch widgets: whatever they change on the window runs on the window's
// thread through ui::CallOnUiThread, and every wait of theirs ends when the window stops them.
#include "CPesavoDlg.h"

#include "UiCall.h"

#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace {

constexpr std::uint8_t kHandshakeRequest = 0x5A;
constexpr std::uint8_t kHandshakeReply = 0xA5;
constexpr auto kManualCheckTime = std::chrono::milliseconds(1000);
constexpr auto kSearchCheckTime = std::chrono::milliseconds(200);
constexpr auto kCyclePause = std::chrono::milliseconds(500);

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

int CPesavoDlg::SearchLimit() { return std::min(m_SerialPort.PortCount(), CSerialPort::kMaxPorts); }

// ---- shared steps ----

void CPesavoDlg::OpenAndStart(int position) {
    if (m_SerialPort.OpenPort(this, m_SerialPort.PortAt(position))) {
        m_SerialPort.StartMonitor();
        m_tReference = static_cast<std::int64_t>(std::time(nullptr));
    }
}

void CPesavoDlg::ClearHandshakeBytes() {
    std::lock_guard lock(m_rxMutex);
    std::fill_n(m_RxBuffer.begin(), 10, std::uint8_t{0x20});
}

std::uint8_t CPesavoDlg::HandshakeByte() {
    std::lock_guard lock(m_rxMutex);
    return m_RxBuffer[0];
}

void CPesavoDlg::UpdateControls() {
    const bool idle = !m_tableRules.Busy();
    for (int id : kLockedControls) GetDlgItem(id)->setEnabled(!m_bConnected);
    // While a conversion or a save owns the table, nothing may start another job or change rows.
    for (int id : {IDC_SAVE, IDC_CLEAR, IDC_UNIT_KG, IDC_UNIT_LB, IDC_UNIT_LBOZ}) GetDlgItem(id)->setEnabled(idle);
    GetDlgItem(IDC_LANGUAGE_OK)->setEnabled(idle && !m_bConnected);
}

void CPesavoDlg::EnterConnectedState() {
    auto* button = static_cast<QPushButton*>(GetDlgItem(IDC_CONNECT));
    button->setText(ReadLanguageText(u"Dialog_Caption", u"Serial_Caption_Close"));
    button->setIcon(m_hIconConnected);
    m_bConnected = true;
    m_tableRules.NewConnection();
    UpdateControls();
}

void CPesavoDlg::StartWorker(void (CPesavoDlg::*thread)(std::stop_token)) {
    m_workers.Start([this, thread](std::stop_token stop) { (this->*thread)(stop); });
}

// ---- commands ----

void CPesavoDlg::ToggleConnection() {
    if (m_bConnected && m_tableRules.Busy()) {
        // Closing asks whether to save or discard the rows: that waits for the running job.
        m_tableRules.Hold(weighing::TableRules::kDisconnect);
        return;
    }
    if (m_bConnected) {
        if (m_Model.rowCount() > 0) {
            const int answer = m_MyMsg.Show(CMyMsg::ModeYesNo, ReadLanguageText(u"Message", u"Port_Close"));
            // Weighings came on while the question was open: if they filled the table, the row
            // limit has ended the connection and looks after the rows.
            if (!m_bConnected) return;
            if (answer == CMyMsg::IdYes) {
                if (!SaveTable(false)) return;  // save cancelled: stay connected
                if (!m_bConnected) return;      // the row limit, during the save
            } else if (answer == CMyMsg::IdNo) {
                m_Model.DeleteAllRows();
                SetupTable();
            } else if (answer == CMyMsg::IdCancel) {
                return;
            }
        }
        m_SerialPort.QueueByte(weighing::kDisconnectNotice);
        m_SerialPort.RequestStop(true);  // the notice leaves before the monitor ends
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
        OpenAndStart(item);
        StartHandshake();
        return;
    }
    // Item 0, or no item at all (an empty list): search every port.
    RefreshPortList();
    if (m_SerialPort.PortCount() <= 0) {
        m_MyMsg.Show(CMyMsg::ModeOk, ReadLanguageText(u"Message", u"No_Port"));
        return;
    }
    SearchFrom(1);
}

void CPesavoDlg::SearchFrom(int position) {
    m_nSearchIndex = position;
    OpenAndStart(position);
    m_SerialPort.QueueByte(kHandshakeRequest);
    m_hHandshake.Reset();
    StartWorker(&CPesavoDlg::AutoSearchThread);
}

void CPesavoDlg::StartHandshake() {
    m_SerialPort.QueueByte(kHandshakeRequest);
    m_hHandshake.Reset();
    StartWorker(&CPesavoDlg::ManualCheckThread);
}

void CPesavoDlg::StartTestMode() {
    if (m_bTestMode) return;
    m_bTestMode = true;
    SetCaption(IDC_TEST, QStringLiteral("测试中... (结束测试请关闭程序)"));
    StartWorker(&CPesavoDlg::TestCycleThread);
}

// ---- check and search threads ----

void CPesavoDlg::ManualCheckThread(std::stop_token stop) {
    m_hHandshake.WaitFor(kManualCheckTime, stop);
    if (stop.stop_requested()) return;
    if (HandshakeByte() == kHandshakeReply) {
        ui::RunOnUiThread([this] { EnterConnectedState(); }, stop);
    } else {
        m_SerialPort.RequestStop();
        m_MyMsg.Show(CMyMsg::ModeOk, ReadLanguageText(u"Message", u"Connection_Fails"), stop);
    }
    ClearHandshakeBytes();
}

void CPesavoDlg::AutoSearchThread(std::stop_token stop) {
    m_hHandshake.WaitFor(kSearchCheckTime, stop);
    if (stop.stop_requested()) return;
    if (HandshakeByte() == kHandshakeReply) {
        ui::RunOnUiThread([this] { EnterConnectedState(); }, stop);
        ClearHandshakeBytes();
        return;
    }
    m_SerialPort.RequestStop();
    const int next = ++m_nSearchIndex;
    if (next <= SearchLimit()) {
        ClearHandshakeBytes();
        SearchFrom(next);
    } else if (m_bTestMode) {
        m_hHandshake.Reset();
        ClearHandshakeBytes();
        StartWorker(&CPesavoDlg::TestCycleThread);
    } else {
        m_MyMsg.Show(CMyMsg::ModeOk, ReadLanguageText(u"Message", u"Auto_Error"), stop);
        ClearHandshakeBytes();
    }
}

void CPesavoDlg::TestCycleThread(std::stop_token stop) {
    std::mutex pause;
    std::unique_lock lock(pause);
    std::condition_variable_any().wait_for(lock, stop, kCyclePause, [] { return false; });
    if (stop.stop_requested()) return;
    if (!ui::RunOnUiThread([this] { RefreshPortList(); }, stop)) return;
    if (m_SerialPort.PortCount() <= 0) {
        m_MyMsg.Show(CMyMsg::ModeOk, ReadLanguageText(u"Message", u"No_Port"), stop);
        return;
    }
    SearchFrom(1);
}

// ---- the engine's notifications ----

void CPesavoDlg::OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                                 std::stop_token stop) {
    if (message == WM_SERIAL_DATA && wait) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(wParam);
        const int count = static_cast<int>(lParam);
        ui::RunOnUiThread([&] { OnSerialData(bytes, count); }, stop);
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
    const QString message = QString::fromStdString(text);
    ui::RunOnUiThread([&] {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Application Error"), message, QMessageBox::Ok);
        if (!CMyMsg::HasAnswerer()) box.exec();
    }, stop);
}

void CPesavoDlg::OnSerialData(const std::uint8_t* bytes, int count) {
    {
        std::lock_guard lock(m_rxMutex);
        m_nRxCount = count;
        std::copy_n(bytes, std::min(count, kRxBufferSize), m_RxBuffer.begin());
    }
    if (m_bConnected) {
        ProcessFrame();
        ClearHandshakeBytes();
    } else {
        m_hHandshake.Set();
    }
}
