// main.cpp - the program entry: the first argument chooses the mode.
#include <cstdio>
#include <string_view>

#include "Server/ServerState.h"
#include "mail/MailArchive.h"
#include "service/Console.h"
#include "smtp/SmtpService.h"

namespace {

bool IsSwitch(const char* argument, std::string_view word) {
    if (argument[0] != '-' && argument[0] != '/') return false;
    std::string_view rest(argument + 1);
    if (rest.size() != word.size()) return false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (AsciiLower(rest[i]) != word[i]) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool debug = argc > 1 && IsSwitch(argv[1], "debug");
    bool console = argc > 1 && IsSwitch(argv[1], "cmd");
    if (!debug && !console) {
        std::printf(
            "Vantrel -install          to install the service\n"
            "Vantrel -remove           to remove the service\n"
            "Vantrel -cmd <params>     to run as a console app\n"
            "\nUse Control Panel to start as a NT service.\n");
        return 1;
    }
    if (debug) g_state.m_logRequests = 1;
    RegisterMailArchive();
    RegisterSmtpService();
    RunConsole();
    return 0;
}
