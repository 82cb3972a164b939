#pragma once
// The soak's windows (tools/soak-desk.cpp), each run as a child process of the soak.
#include <string>

// Pesavo's window with its folders (`user` the operator's settings, `data` the journal), saving
// into `saves`; runs the commands written into the pipe `commands` a line each and says "done
// <command>" after each: connect PORT, disconnect, save, unit 0|1|2, clear, quit.
int SoakDesk(const std::string& program, const std::string& user, const std::string& data, const std::string& saves,
             const std::string& commands);
// The text window the keyboard wedge types into, with the focus; says "focus 0 <ms>" when it loses
// it and "focus 1 <ms>" when it has it again (SoakMs).
long long SoakMs();  // the steady clock, the same in every process of a soak
int SoakText();
