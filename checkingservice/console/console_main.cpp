// pvconsole: the administration console of the checking service.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "checkingservice/checking/password.h"
#include "checkingservice/console/console.h"

namespace {

constexpr const char* kUsage = R"(usage: pvconsole --db FILE [options]

  --listen ADDRESS          address to listen on (127.0.0.1)
  --port N                  port (8890); 0 picks a free one, printed at start
  --static DIR              the console's pages (next to this program by default)
  --secure-cookies          served behind TLS: session cookies travel only over it
  --host NAME               also answer under this name (repeatable); address literals and
                            localhost are always answered, any other name is refused
  --session-idle-min N      a session ends after N idle minutes (30)
  --session-hours N         and after N hours in any case (12)
  --name-failures N         failed logins per name per 15 minutes (5)
  --client-failures N       failed logins per client address per 15 minutes (20)
Administrators are made with pvcheckctl admin add NAME. SIGINT and SIGTERM stop it.
)";

long Number(const std::string& text, const std::string& name) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < 0) {
        throw std::runtime_error(name + " needs a non-negative number");
    }
    return value;
}

std::string DefaultStaticDir() {
    char path[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "static";
    return (std::filesystem::path(std::string(path, static_cast<size_t>(n))).parent_path() / "static")
        .string();
}

pv::check::ConsoleOptions Parse(int argc, char** argv) {
    pv::check::ConsoleOptions options;
    options.staticDir = DefaultStaticDir();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg == "--db") {
            options.db = value();
        } else if (arg == "--listen") {
            options.address = value();
        } else if (arg == "--port") {
            const long port = Number(value(), arg);
            if (port > 65535) throw std::runtime_error("--port is at most 65535");
            options.port = static_cast<int>(port);
        } else if (arg == "--static") {
            options.staticDir = value();
        } else if (arg == "--host") {
            std::string name = value();
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            options.hosts.push_back(std::move(name));
        } else if (arg == "--secure-cookies") {
            options.secureCookies = true;
        } else if (arg == "--session-idle-min") {
            options.sessionIdleMs = std::max(1L, Number(value(), arg)) * 60 * 1000;
        } else if (arg == "--session-hours") {
            options.sessionLifetimeMs = std::max(1L, Number(value(), arg)) * 3600 * 1000;
        } else if (arg == "--name-failures") {
            options.nameFailures = static_cast<unsigned>(std::max(1L, Number(value(), arg)));
        } else if (arg == "--client-failures") {
            options.clientFailures = static_cast<unsigned>(std::max(1L, Number(value(), arg)));
        } else {
            throw std::runtime_error("unknown option " + arg);
        }
    }
    if (options.db.empty()) throw std::runtime_error("give --db FILE");
    return options;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const pv::check::ConsoleOptions options = Parse(argc, argv);
        if (!pv::check::InitCrypto()) throw std::runtime_error("cannot start libsodium");
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        signal(SIGPIPE, SIG_IGN);

        pv::check::Console console(options);
        const int port = console.Bind();
        std::thread server([&] { console.Run(); });
        const bool v6 = options.address.find(':') != std::string::npos;
        std::printf("pvconsole: listening on http://%s%s%s:%d/\n", v6 ? "[" : "", options.address.c_str(),
                    v6 ? "]" : "", port);
        std::fflush(stdout);
        int received = 0;
        while (sigwait(&signals, &received) != 0) {}
        console.Stop();
        server.join();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pvconsole: %s\n", e.what());
        return 1;
    }
}
