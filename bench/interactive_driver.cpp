// Drives the installer on a private X server and times it:
//   interactive-driver INSTALLER WORKDIR RUNS VIEWRUNS DRAWCOUNT_SO
// - exec to viewable window, VIEWRUNS times;
// - RUNS times alternately: a silent installation, and an interactive one (F on page 1, timed from
//   the key to the launcher's start, with the bar's repaints recorded by DRAWCOUNT_SO).
//   interactive-driver --startup WORKDIR RUNS INSTALLER...
// - exec to viewable window of each INSTALLER in turn, RUNS rounds: median, quartiles, lowest and
//   highest.
// Prints one "name value" line per figure. Run as root, the installers run as nobody, so that the
// window's first proposal is $HOME/Sonaris8.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

const uid_t kNobody = 65534;

long long NowNs() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

pid_t Spawn(const std::vector<std::string> &args, const std::vector<std::string> &env) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) || setresgid(kNobody, kNobody, kNobody) || setresuid(kNobody, kNobody, kNobody)))
        _exit(125);
    std::vector<char *> argv, envp;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A directory the installers (running as nobody) may write in.
std::string MakeDir(const std::string &path) {
    mkdir(path.c_str(), 0755);
    if (geteuid() == 0 && chown(path.c_str(), kNobody, kNobody) != 0) throw std::runtime_error("chown " + path);
    return path;
}

void RemoveTree(const std::string &path) {
    const std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot remove " + path);
}

struct Server {
    pid_t pid = -1;
    std::string display;
    Server() {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            const std::string fd = std::to_string(fds[1]);
            const char *script = SONARIS_SOURCE_DIR "/scripts/xvfb";
            execl(script, script, fd.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char c;
        std::string number;
        while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (number.empty()) throw std::runtime_error("Xvfb did not start");
        display = ":" + number;
    }
    ~Server() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// Waits for the installer's main window to be mapped; returns it.
Window WaitForMap(Display *d) {
    for (;;) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type != MapNotify) continue;
        char *name = nullptr;
        const bool ours = XFetchName(d, event.xmap.window, &name) && name && !std::strcmp(name, "Sonaris 8 Installer");
        if (name) XFree(name);
        if (ours) return event.xmap.window;
    }
}

void Key(Display *d, KeySym keysym) {
    const KeyCode code = XKeysymToKeycode(d, keysym);
    XTestFakeKeyEvent(d, code, True, CurrentTime);
    XTestFakeKeyEvent(d, code, False, CurrentTime);
    XSync(d, False);
}

std::string Slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int IgnoreErrors(Display *, XErrorEvent *) { return 0; }

// The server's display, told of every window mapped on its root.
Display *OpenDisplay(const Server &server) {
    Display *d = XOpenDisplay(server.display.c_str());
    if (!d) throw std::runtime_error("cannot open " + server.display);
    XSetErrorHandler(IgnoreErrors);
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    return d;
}

// Exec of `installer` to its window being viewable, in ms; the installer is then killed.
double TimeToViewable(Display *d, const std::string &installer, const std::vector<std::string> &env) {
    const long long t0 = NowNs();
    const pid_t pid = Spawn({installer}, env);
    WaitForMap(d);
    const double ms = (NowNs() - t0) / 1e6;
    kill(pid, SIGKILL);
    Wait(pid);
    return ms;
}

// Exec to viewable window of several installers, alternating so that the machine's load falls on
// each alike.
int Startup(const std::string &work, int runs, const std::vector<std::string> &installers) {
    Server server;
    Display *d = OpenDisplay(server);
    const std::string path = std::string("PATH=") + std::getenv("PATH");
    const std::string display = "DISPLAY=" + server.display;
    const std::string home = MakeDir(work + "/startup-home");
    std::vector<std::vector<double>> times(installers.size());
    for (int i = 0; i < runs; ++i)
        for (std::size_t k = 0; k < installers.size(); ++k)
            times[k].push_back(TimeToViewable(d, installers[k], {path, display, "HOME=" + home, "LC_ALL=C"}));
    for (std::size_t k = 0; k < installers.size(); ++k) {
        std::vector<double> &t = times[k];
        std::sort(t.begin(), t.end());
        std::printf("viewable_ms %s median %.1f quartiles %.1f %.1f low %.1f high %.1f\n", installers[k].c_str(),
                    Median(t), t[t.size() / 4], t[t.size() * 3 / 4], t.front(), t.back());
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 5 && std::string(argv[1]) == "--startup")
        return Startup(argv[2], std::atoi(argv[3]), std::vector<std::string>(argv + 4, argv + argc));
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: %s INSTALLER WORKDIR RUNS VIEWRUNS DRAWCOUNT_SO [COUNTED_INSTALLER]\n", argv[0]);
        return 2;
    }
    const std::string installer = argv[1], work = argv[2], drawcount = argv[5];
    // The repaints are counted by a preloaded library, which reaches only a dynamically linked
    // image's calls: COUNTED_INSTALLER, when given, is the same installer file made with one.
    const std::string counted = argc == 7 ? argv[6] : installer;
    const int runs = std::atoi(argv[3]), viewRuns = std::atoi(argv[4]);

    Server server;
    Display *d = OpenDisplay(server);
    Key(d, XK_Shift_L);  // the server's first XTest key changes its keymap: not during a run
    const std::string path = std::string("PATH=") + std::getenv("PATH");
    const std::string display = "DISPLAY=" + server.display;

    std::vector<double> viewable;
    const std::string viewHome = MakeDir(work + "/view-home");
    for (int i = 0; i < viewRuns; ++i)
        viewable.push_back(TimeToViewable(d, installer, {path, display, "HOME=" + viewHome, "LC_ALL=C"}));

    // One installation from the window: from the F key to the launcher's start, in ms.
    auto fromTheWindow = [&](const std::string &file, const std::string &n, std::vector<std::string> extra) {
        const std::string home = MakeDir(work + "/home-" + n);
        MakeDir(work + "/markers-" + n);
        std::vector<std::string> env = {path, display, "HOME=" + home, "LC_ALL=C",
                                        "BENCH_MARKER=" + work + "/markers-" + n + "/started"};
        env.insert(env.end(), extra.begin(), extra.end());
        const pid_t pid = Spawn({file}, env);
        const Window window = WaitForMap(d);
        XSetInputFocus(d, window, RevertToParent, CurrentTime);
        XSync(d, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Key(d, XK_f);
        const long long t0 = NowNs();
        if (Wait(pid) != 0) throw std::runtime_error("interactive installation failed");
        const long long started = std::atoll(Slurp(work + "/markers-" + n + "/started").c_str());
        RemoveTree(home);
        return (started - t0) / 1e6;
    };

    std::vector<double> silent, interactive;
    for (int i = 0; i < runs; ++i) {
        const std::string n = std::to_string(i);
        const std::string dest = work + "/silent-" + n;
        MakeDir(work + "/silent-home-" + n);
        long long t0 = NowNs();
        const int status = Wait(Spawn({installer, "-s", dest}, {path, "HOME=" + work + "/silent-home-" + n, "LC_ALL=C"}));
        silent.push_back((NowNs() - t0) / 1e6);
        if (status != 0) throw std::runtime_error("silent installation failed");
        RemoveTree(dest);

        interactive.push_back(fromTheWindow(installer, n, {}));
    }
    fromTheWindow(counted, "counted", {"LD_PRELOAD=" + drawcount, "SONARIS_DRAW_FILE=" + work + "/draws"});
    const std::string lastDraw = Slurp(work + "/draws");

    int repaints = 0;
    unsigned width = 0;
    std::istringstream lines(lastDraw);
    for (std::string line; std::getline(lines, line); ++repaints) width = std::max(width, unsigned(std::atoi(line.c_str())));
    XCloseDisplay(d);

    auto list = [](const std::vector<double> &v) {
        std::string s;
        for (double x : v) s += std::to_string(static_cast<long>(x)) + " ";
        return s;
    };
    std::printf("viewable_ms %s\nviewable_median_ms %.1f\n", list(viewable).c_str(), Median(viewable));
    std::printf("silent_ms %s\nsilent_median_ms %.0f\n", list(silent).c_str(), Median(silent));
    std::printf("interactive_ms %s\ninteractive_median_ms %.0f\n", list(interactive).c_str(), Median(interactive));
    std::printf("ratio %.3f\n", Median(interactive) / Median(silent));
    std::printf("repaints %d\nbar_width %u\n", repaints, width);
}
