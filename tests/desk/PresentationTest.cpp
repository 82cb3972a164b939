// What both windows show the same way, where it follows rules of its own: the controls each
// state of the desk leaves enabled, and the port list's items.
#include "Presentation.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

using desk::Control;

TEST(PresentationTest, ControlsFollowConnectionAndJobsAndPortsAreNamedAsTheSystemNamesThem) {
    const std::set<Control> choices = {Control::PortGroup, Control::Port, Control::Refresh, Control::LanguageGroup,
                                       Control::Language, Control::LanguageOk};
    const std::set<Control> jobs = {Control::Save, Control::Clear, Control::UnitKg, Control::UnitLb, Control::UnitLbOz,
                                    Control::LanguageOk};
    for (const bool connected : {false, true}) {
        for (const bool busy : {false, true}) {
            desk::State state;
            state.connected = connected;
            state.busy = busy;
            std::map<Control, bool> enabled;
            for (const desk::Enabling& e : desk::EnabledControls(state))
                EXPECT_TRUE(enabled.emplace(e.control, e.enabled).second) << "told twice: " << static_cast<int>(e.control);
            // Every control that a state locks is told in every state, so that it comes back.
            EXPECT_EQ(enabled.size(), 11u);
            for (const Control c : {Control::Connect, Control::Test}) EXPECT_EQ(enabled.count(c), 0u);
            for (const auto& [control, on] : enabled)
                EXPECT_EQ(on, !(connected && choices.count(control)) && !(busy && jobs.count(control)))
                    << static_cast<int>(control) << (connected ? " connected" : "") << (busy ? " busy" : "");
        }
    }

    EXPECT_EQ(desk::PortLabels(u"Auto search", {{3, "/dev/ttyS0"}, {12, "/dev/ttyUSB0"}}),
              (std::vector<std::u16string>{u"Auto search", u"COM3", u"COM12"}));
    EXPECT_EQ(desk::PortLabels(u"Auto search", {}), std::vector<std::u16string>{u"Auto search"});
}

}  // namespace
