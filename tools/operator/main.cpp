// operator.exe: starts a Kelvane program and works its window as a person would, following a
// small script; prints one line per observation for the end-to-end tests to compare.
//
//   operator.exe [-e COMMAND]... [-f SCRIPT] -- PROGRAM [ARGS...]
//
// Without -e or -f the script comes from standard input, one command per line ('#' starts a
// comment). Times are in milliseconds and optional; every wait has a bound, and a wait that
// runs out prints "timeout: ..." and ends the script with exit status 1.
//
//   wait-window [ms]                 the main window is there
//   click CONTROL                    a mouse click on a button (by caption, or Button1...)
//   scroll left|right [n]            n clicks on the scroll bar's arrow; prints the position
//   type FIELD TEXT                  click into Edit1 or Edit2 and type TEXT over its text
//   dialog PATH|cancel [ms]          answer the file dialog: type PATH and Open, or Cancel
//   wait-status TEXT [ms]            status panel 0 reads TEXT
//   read-status                      prints panel 0
//   read-edit FIELD                  prints the field's text
//   wait-edit FIELD TEXT [ms]        the field reads TEXT
//   read-scroll, wait-scroll POS [ms]
//   read-layout                      caption, client size, every control, panels, scroll bar
//   read-messagebox [ms]             waits for a message or error box; prints caption and text
//   close-messagebox [ms]            presses the box's OK
//   no-messagebox                    no box is up now (ask after the frame that would show it)
//   close                            closes the window as its close box does
//   wait-exit [ms]                   the program ends (default 60 s); prints its exit status
//   wait-children N [ms]             N programs started by the program (and by those, on
//                                    down) have ended, and no more have started
//   wait-frames N [ms]               N command frames have ended (wait-children 4N: under Wine
//                                    each of a frame's two net.exe runs has a console host)
//   wait-visible CONTROL [ms]        the control is shown (CGauge1 during a transfer)
//   wait-file PATH [ms]              a file of that path exists (a test's signal)
//   kill                             ends the program at once, as a crash would
//
// Lines the program writes to its standard output come out as "stdout: ...". The program runs in
// a job object, which reports every process started in it however briefly it lives: each comes
// out as "child: started N" (and "note: child N is PATH" when it still ran when asked), and at
// the end "children: S started, E ended". At the end a program that still runs is ended, and
// so is everything it started. Exit status: 0 when
// every command succeeded, 1 when one failed or timed out, 2 for a usage error.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/operator/script.h"
#include "tools/operator/session.h"
#include "tools/operator/target_process.h"

namespace {

int Usage(const char* why) {
    std::fprintf(stderr,
                 "operator: %s\nusage: operator.exe [-e COMMAND]... [-f SCRIPT] -- PROGRAM "
                 "[ARGS...]\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Plain line feeds: the tests compare the output byte for byte.
    _setmode(_fileno(stdout), _O_BINARY);
    // Screen coordinates in pixels, the same as the program under test sees them.
    ::SetProcessDPIAware();
    // Under Wine the first program of a session that asks for the desktop starts the desktop
    // process (explorer.exe). Ask for it here, so that it is never counted as a child of the
    // program under test.
    ::GetDesktopWindow();

    std::vector<std::string> script;
    bool scriptGiven = false;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "-e") == 0 && i + 1 < argc) {
            script.emplace_back(argv[++i]);
            scriptGiven = true;
        } else if (std::strcmp(argv[i], "-f") == 0 && i + 1 < argc) {
            std::ifstream file(argv[++i]);
            if (!file) return Usage("cannot read the script file");
            for (std::string line; std::getline(file, line);) script.push_back(line);
            scriptGiven = true;
        } else {
            return Usage("unknown option");
        }
    }
    if (i + 1 >= argc) return Usage("no program to start");
    std::string commandLine;
    for (int a = i + 1; a < argc; ++a) {
        if (!commandLine.empty()) commandLine += ' ';
        commandLine += op::QuoteArgument(argv[a]);
    }
    if (!scriptGiven) {
        for (std::string line; std::getline(std::cin, line);) script.push_back(line);
    }

    op::TargetProcess target;
    std::string error;
    if (!target.Start(commandLine, error)) {
        std::printf("error: %s\n", error.c_str());
        return 1;
    }
    op::Session session(target);
    bool ok = true;
    for (const std::string& line : script) {
        if (!session.Run(line)) {
            ok = false;
            break;
        }
    }
    session.Finish();
    std::fflush(stdout);
    return ok ? 0 : 1;
}
