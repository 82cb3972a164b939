// The local weight service as an outlet of the desk: every weighing, the connection, the unit
// and the live weight go into the service's log (a lock and a copy on the desk's thread); the
// server's own threads answer the clients from there.
#include "Outlet.h"

#include "Questions.h"
#include "ServiceSettings.h"
#include "WeightService.h"
#include "platform/Utf.h"

#include <nlohmann/json.hpp>

namespace desk {

namespace {

// The live page's texts, in the language file's section of its own.
constexpr const char16_t* kPageKeys[] = {u"Title",  u"Last",   u"Live",  u"Stable", u"Moving", u"Connected",
                                         u"Disconnected", u"Offline", u"Recent", u"Number", u"Weight", u"Unit",
                                         u"Time",   u"None",   u"Maybe_Repeat"};

class ServiceOutlet : public WeighingOutlet {
public:
    ServiceOutlet(OutletHost& host, service::SettingsRead read, std::string pageFolder)
        : host_(host), read_(std::move(read)), pageFolder_(std::move(pageFolder)) {}

    void Started() override;
    void WeighingRecorded(const Recorded& weighing) override;
    void Shown(const DeskPicture& picture) override;
    void LiveWeight(const weighing::Reading& reading, bool stable) override;
    std::u16string TitlePart() const override;
    std::string PageAddress() const override { return server_ ? server_->PageAddress() : std::string(); }

private:
    std::string PageTexts() const;

    OutletHost& host_;
    service::SettingsRead read_;
    const std::string pageFolder_;
    service::WeighingLog log_;
    std::unique_ptr<service::WeightService> server_;  // (after the log: stopped before it goes)
    bool connected_ = false;
    int unit_ = -1;
    std::u16string error_, overweight_;
};

void ServiceOutlet::Started() {
    const std::u16string file = platform::Utf8ToUtf16(read_.settings.file);
    if (!read_.problem.empty()) {
        host_.Tell(Fill(host_.MessageText(u"Service_Unusable", "%1 says %2, which Pesavo cannot use: the weight service is off."), file,
                        platform::Utf8ToUtf16(read_.problem)));
        return;
    }
    if (read_.settings.port == 0) return;
    const std::string run = std::to_string(host_.Now()) + "-" + service::NewToken().substr(0, 16);
    auto server = std::make_unique<service::WeightService>(read_.settings, log_, run, service::PageFiles{pageFolder_});
    std::string why;
    if (!server->Start(why)) {
        host_.Tell(Fill(host_.MessageText(u"Service_Port_In_Use", "The weight service cannot listen on port %1 (%2). Weighing goes on without it."),
                        platform::Utf8ToUtf16(std::to_string(read_.settings.port)), platform::Utf8ToUtf16(why)));
        return;
    }
    server_ = std::move(server);
    if (read_.tokenNotSaved)
        host_.Tell(Fill(host_.MessageText(u"Service_Token_Not_Saved", "The weight service's new token could not be written into %1: "
                                                                      "it changes at every start until the file can be written."),
                        file));
    host_.TitleChanged();
}

void ServiceOutlet::WeighingRecorded(const Recorded& weighing) {
    if (!server_) return;
    log_.Add({0, weighing.row + 1, weighing.reading, weighing.at, weighing.maybeRepeat});
}

void ServiceOutlet::Shown(const DeskPicture& picture) {
    if (!server_) return;
    log_.SetConnection({picture.connected, picture.port, picture.scale});
    if (!picture.connected && connected_) log_.SetLive(std::nullopt);
    connected_ = picture.connected;
    // The words change with the unit and the language, and are read again only then.
    if (picture.unit != unit_ || picture.errorText != error_ || picture.overweightText != overweight_) {
        unit_ = picture.unit;
        error_ = picture.errorText;
        overweight_ = picture.overweightText;
        log_.SetWords({unit_, error_, overweight_, PageTexts()});
    }
}

void ServiceOutlet::LiveWeight(const weighing::Reading& reading, bool stable) {
    if (!server_) return;
    if (reading.kind == weighing::RowKind::Weight)
        log_.SetLive(service::Live{reading.kg, reading.decimals, stable, false});
    else if (reading.kind == weighing::RowKind::Overweight)
        log_.SetLive(service::Live{0.0, 3, stable, true});  // (no weight: more than the scale weighs)
    else
        log_.SetLive(std::nullopt);
}

std::u16string ServiceOutlet::TitlePart() const {
    if (!server_) return {};
    return Fill(host_.MessageText(u"Service_Title", "service :%1"), platform::Utf8ToUtf16(std::to_string(read_.settings.port)));
}

std::string ServiceOutlet::PageTexts() const {
    nlohmann::json texts = nlohmann::json::object();
    for (const char16_t* key : kPageKeys)
        if (const std::u16string text = host_.Text(u"Live_Page", key); !text.empty())
            texts[platform::Utf16ToUtf8(key)] = platform::Utf16ToUtf8(text);
    // The scales' names as the window's title gives them.
    for (const char16_t* key : {u"Scale_frame6", u"Scale_8217", u"Scale_sics", u"Scale_print"})
        if (const std::u16string text = host_.Text(u"Message", key); !text.empty())
            texts[platform::Utf16ToUtf8(key)] = platform::Utf16ToUtf8(text);
    return texts.dump();
}

}  // namespace

std::unique_ptr<WeighingOutlet> MakeServiceOutlet(OutletHost& host, const std::vector<std::string>& folders, const std::string& pageFolder) {
    service::SettingsRead read = service::ReadSettings(folders);
    if (read.settings.port == 0 && read.problem.empty()) return nullptr;
    return std::make_unique<ServiceOutlet>(host, std::move(read), pageFolder);
}

}  // namespace desk
