// zq-server: the stand-in market and trading server.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/version.h"
#include "server/control/member_admin.h"
#include "server/links/options.h"
#include "server/server.h"
#include "server/store/log.h"

int main(int argc, char** argv) {
    using namespace zq::server;
    ServerOptions options;
    std::string message;
    std::vector<std::string> args(argv + 1, argv + argc);
    switch (ParseOptions(args, options, message)) {
        case ParseOutcome::Help:
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        case ParseOutcome::Version:
            std::printf("zq-server %s\n", zq::kVersionText);
            return 0;
        case ParseOutcome::Error:
            std::fprintf(stderr, "zq-server: %s\n%s", message.c_str(), UsageText().c_str());
            return 2;
        case ParseOutcome::Run:
            break;
    }

    // The store holds password hashes and session keys, the control secret file its secret:
    // whatever the server makes is for its own user alone.
    umask(0077);

    // The operator adds a member, or changes a password, in the store, whether a server uses it
    // just now or not.
    if (!options.addMember.empty() || !options.setPassword.empty()) {
        std::unique_ptr<Store> store = Store::Open(options.dbPath, &message, options.demoMembers);
        if (!store) {
            std::fprintf(stderr, "zq-server: %s: %s\n", options.dbPath.c_str(), message.c_str());
            return 1;
        }
        const bool adding = !options.addMember.empty();
        const std::string& name = adding ? options.addMember : options.setPassword;
        const std::optional<std::string> password =
            ReadPasswordLine(stdin, "password for " + name + ": ");
        if (!password) {
            std::fprintf(stderr, "zq-server: no password on standard input\n");
            return 1;
        }
        const bool done = adding ? AddOperatorMember(*store, name, *password, message)
                                 : SetOperatorPassword(*store, name, *password, message);
        std::fprintf(done ? stdout : stderr, "zq-server: %s\n", message.c_str());
        return done ? 0 : 1;
    }

    // A peer that vanishes mid-answer must cost a failed send, not the process.
    signal(SIGPIPE, SIG_IGN);
    // Every connection holds descriptors: allow as many as the system lets this process have.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // SIGINT and SIGTERM are taken by this thread alone, with sigwait, once the server runs;
    // the mask is set before any thread starts so that every thread inherits it.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Server server(options);
    if (!server.Start(&message)) {
        std::fprintf(stderr, "zq-server: %s\n", message.c_str());
        return 1;
    }
    if (!options.portsFile.empty() && !server.WritePortsFile(options.portsFile, &message)) {
        std::fprintf(stderr, "zq-server: %s\n", message.c_str());
        server.Stop();
        return 1;
    }
    int sig = 0;
    sigwait(&stopSignals, &sig);
    LogLine(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    server.Stop();
    return 0;
}
