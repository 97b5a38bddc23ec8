#pragma once
#include <string>

namespace lumora {

// The subject of the latest share request. Every picker reads it when a service is
// chosen, so a service picked from an older picker still gets the newest subject.
struct MailSubjectDelegate {
    std::string subject;
};

// "mailto:?subject=…&body=…" with both parts percent-encoded; line breaks in the body
// become CRLF, as mail URIs require.
std::string mailtoUri(const std::string& subject, const std::string& body);

}  // namespace lumora
