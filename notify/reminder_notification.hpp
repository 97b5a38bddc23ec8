#pragma once
#include <string>

namespace lumora {

// "lumora --remind": shows the daily reminder through org.freedesktop.Notifications and
// stays until the notification is clicked (which opens Lumora) or closed. Returns the
// exit status: 0 once shown, 1 when no notification service answered.
int showReminderNotification(const std::string& program);

// The absolute path of the running executable.
std::string currentProgram();

}  // namespace lumora
