// Settings, language files and the texts of the main window.
#include "CPesavoDlg.h"

#include "LanguageFiles.h"
#include "platform/ModulePath.h"
#include "platform/ProfileFile.h"

#include <QComboBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QStyle>
#include <QTableView>

#include <ctime>

namespace {

QString FromUtf8(const std::string& s) { return QString::fromStdString(s); }
std::string ToUtf8(const QString& s) { return s.toStdString(); }

struct CaptionKey {
    int id;
    const char16_t* key;
};

// Captions of the window's controls in section "Dialog_Caption".
constexpr CaptionKey kCaptions[] = {
    {CPesavoDlg::IDC_SAVE, u"Save_Excel"},           {CPesavoDlg::IDC_CLEAR, u"Clear_Data"},
    {CPesavoDlg::IDC_UNIT_GROUP, u"Change_Unit_Caption"}, {CPesavoDlg::IDC_PORT_GROUP, u"Serial_Caption_Port"},
    {CPesavoDlg::IDC_REFRESH, u"Serial_Refresh"},    {CPesavoDlg::IDC_LANGUAGE_GROUP, u"Language_Caption"},
    {CPesavoDlg::IDC_LANGUAGE_OK, u"Language_OK"},
};

constexpr const char16_t* kColumnKeys[MeasurementModel::kColumns] = {u"Number", u"Data", u"Unit",
                                                                     u"Duration", u"Update_Time", u"Explan"};

}  // namespace

void CPesavoDlg::LoadSettings() {
    m_strModuleDir = FromUtf8(m_places.folder);
    m_strSettingFile = m_strModuleDir + QStringLiteral("Setting.ini");
    const std::u16string fileName =
        localisation::ReadProfileText(ToUtf8(m_strSettingFile), u"Language_Configuration", u"Language_FileName");
    QString file = FromUtf8(localisation::LanguageFilePath(ToUtf8(m_strModuleDir), fileName));
    if (!QFileInfo(file).isFile()) {
        // No settings, or they name a file that is gone: English if it is there, else the first
        // language of the folder, so that no box ever shows without words.
        const QString english = m_strModuleDir + QStringLiteral("Language/English.ini");
        const std::vector<std::string> files = localisation::ListLanguageFolder(ToUtf8(m_strModuleDir));
        if (QFileInfo(english).isFile()) {
            file = english;
        } else {
            const auto first = std::find_if(files.begin(), files.end(), [](const std::string& f) { return QFileInfo(FromUtf8(f)).isFile(); });
            if (first != files.end()) file = FromUtf8(*first);
        }
    }
    auto texts = std::make_shared<const localisation::LanguageTexts>(ToUtf8(file));  // read once, here
    std::lock_guard lock(m_textMutex);  // workers read texts through it
    m_strLanguageFile = file;
    m_texts = std::move(texts);
}

QString CPesavoDlg::LanguageFile() {
    std::lock_guard lock(m_textMutex);
    return m_strLanguageFile;
}

QString CPesavoDlg::ReadLanguageText(const char16_t* section, const char16_t* key) {
    // From the language in memory: no lookup touches the disk.
    std::lock_guard lock(m_textMutex);
    const std::u16string text = m_texts ? m_texts->Text(section, key) : std::u16string();
    std::copy(text.begin(), text.end(), m_szText);
    m_szText[text.size()] = 0;
    return QString::fromUtf16(m_szText);
}

void CPesavoDlg::FillLanguageList() {
    m_astrLanguageFiles.clear();
    for (const std::string& path : localisation::ListLanguageFolder(ToUtf8(m_strModuleDir)))
        m_astrLanguageFiles.append(FromUtf8(path));
    if (m_astrLanguageFiles.isEmpty()) return;

    const std::u16string current =
        localisation::ReadProfileText(ToUtf8(m_strSettingFile), u"Language_Configuration", u"Language_Name");
    int selection = 0;
    for (int i = 0; i < m_astrLanguageFiles.size(); ++i) {
        const std::u16string name = localisation::ReadProfileText(ToUtf8(m_astrLanguageFiles[i]),
                                                                  u"Language_Configuration", u"Language_Name");
        m_cmbLanguage->addItem(QString::fromStdU16String(name));
        m_cmbLanguage->setItemData(i, m_astrLanguageFiles[i], Qt::ToolTipRole);
        if (name == current) selection = i;  // the last match wins
    }
    m_cmbLanguage->setCurrentIndex(selection);
}

void CPesavoDlg::ApplyLanguage() {
    UpdateTitle();
    auto* connect = static_cast<QPushButton*>(GetDlgItem(IDC_CONNECT));
    connect->setText(ReadLanguageText(u"Dialog_Caption", u"Serial_Caption_Open"));
    connect->setIcon(m_hIconDisconnected);
    for (const CaptionKey& c : kCaptions) SetCaption(c.id, ReadLanguageText(u"Dialog_Caption", c.key));

    FillPortList();  // from the ports found last
    FitControls();

    m_MyMsg.SetLanguageFile(LanguageFile());
}

void CPesavoDlg::OnLanguageOK() {
    if (m_tableRules.Busy()) return;  // the button is disabled meanwhile: the job reads the titles
    const int index = m_cmbLanguage->currentIndex();
    if (index < 0 || index >= m_astrLanguageFiles.size()) return;
    const QString file = m_astrLanguageFiles[index];
    {
        auto texts = std::make_shared<const localisation::LanguageTexts>(ToUtf8(file));  // read once, here
        std::lock_guard lock(m_textMutex);  // the controller's worker may be reading a text
        m_strLanguageFile = file;
        m_texts = std::move(texts);
    }

    const std::string settings = ToUtf8(m_strSettingFile);
    const std::u16string name =
        localisation::ReadProfileText(ToUtf8(file), u"Language_Configuration", u"Language_Name");
    // A settings file that cannot be written only means the next start uses the old language;
    // the operator hears so, in the new one.
    const bool kept =
        platform::WriteProfileString(u"Language_Configuration", u"Language_Name", name, settings) &&
        platform::WriteProfileString(u"Language_Configuration", u"Language_FileName",
                                     localisation::LanguageFileNameValue(ToUtf8(file)), settings);
    ApplyLanguage();

    std::array<QString, MeasurementModel::kColumns> titles;
    for (int c = 0; c < MeasurementModel::kColumns; ++c) titles[c] = ReadLanguageText(u"ListCtrl_Header", kColumnKeys[c]);
    m_Model.SetTitles(titles);
    FitColumns();  // the new titles and texts may need more room
    if (!kept)
        m_MyMsg.Show(CMyMsg::ModeOk,
                     MessageText(u"Setting_Not_Saved", "Setting.ini could not be written: the language applies until the program ends, "
                                                       "and the next start uses the previous one.") +
                         QStringLiteral("\n(") + QString::fromStdString(settings) + QLatin1Char(')'));
}

bool CPesavoDlg::SetupTable() {
    std::array<QString, MeasurementModel::kColumns> titles;
    for (int c = 0; c < MeasurementModel::kColumns; ++c) titles[c] = ReadLanguageText(u"ListCtrl_Header", kColumnKeys[c]);
    m_Model.SetTitles(titles);
    FitColumns();
    m_tReference = static_cast<std::int64_t>(std::time(nullptr));
    return true;
}

void CPesavoDlg::FitColumns() {
    // Each column as wide as the template has it, or as its title and its longest text need in
    // this font; "Explan" takes the rest of the list.
    const QFontMetrics list(m_List->font()), head(m_List->horizontalHeader()->font());
    const int pad = 2 * m_List->style()->pixelMetric(QStyle::PM_HeaderMargin) + 10;
    const QStringList samples[MeasurementModel::kColumns] = {
        {QStringLiteral("   65001")},
        {QStringLiteral("-16777.215"), ReadLanguageText(u"ListCtrl_Header", u"Overweight"),
         ReadLanguageText(u"ListCtrl_Header", u"Error_EX")},
        {QStringLiteral("LB:OZ")},
        {QStringLiteral("00:00:00")},
        {QStringLiteral("00:00:00 12/31/2026")},
        {},
    };
    QHeaderView* header = m_List->horizontalHeader();
    header->setMinimumSectionSize(10);
    header->setStretchLastSection(true);
    int total = 0;
    for (int c = 0; c < MeasurementModel::kColumns; ++c) {
        int width = std::max(c == MeasurementModel::Explan ? 200 : 80, head.horizontalAdvance(m_Model.Title(c)) + pad);
        for (const QString& text : samples[c]) width = std::max(width, list.horizontalAdvance(text) + pad);
        header->resizeSection(c, width);
        total += width;
    }
    // The list shows every column without a horizontal scroll bar at the window's smallest.
    m_List->setMinimumWidth(total + 2 * m_List->frameWidth() + m_List->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
}
