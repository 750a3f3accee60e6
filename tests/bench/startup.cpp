// From process start to the window on screen, two ways:
//  - this program in the role of the tool ("startup-child"): the tool's main() sequence with an
//    event filter that notes the first show and the first paint of the window, timed from
//    main() and, by the parent, from the spawn;
//  - the real qf7320-tool binary, copied into the program directory as an operator would place
//    it, with Qt's own widget-painting log switched on: its first "Flushing ... frmMain" line is
//    the first frame handed to the screen. The log costs the tool a little time of its own.
// Both start with a comm.set that names the simulator's port, so the start-up opens it.

#include "tests/bench/bench.h"
#include "tests/bench/child.h"

#include "app/look.h"
#include "serial/qtserialcomponent.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <sys/wait.h>

namespace bench {

namespace {

// How long the real tool runs on after its first frame before its peak memory is read: the
// first cursor blink and any deferred start-up work fall inside it.
constexpr int kSettleMs = 300;

struct Run {
    double fromSpawnMs = 0;
    double fromMainMs = -1;
    double showFromMainMs = -1;
    long hwmKb = 0;
    long anonKb = 0; // the part of the resident set that is the process's own, not mapped files
};

std::optional<Run> runHooked(const char* self, const ProgramDir& dir) {
    Child child = spawn({self, "startup-child", dir.path().toStdString()},
                        environmentWith({{"QT_QPA_PLATFORM", "offscreen"}}), 1);
    if (child.pid < 0)
        return std::nullopt;
    std::string text;
    readUntil(child.out, text, kChildTimeoutMs, [](const std::string&) { return false; });
    close(child.out);
    int status = 0;
    waitpid(child.pid, &status, 0);
    const auto f = figures(text);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !f.contains("painted_ns") ||
        f.at("port_open") != 1)
        return std::nullopt;
    Run run;
    const double spawned = double(nanosSinceBoot(child.spawned));
    run.fromSpawnMs = (f.at("painted_ns") - spawned) / 1e6;
    run.fromMainMs = (f.at("painted_ns") - f.at("main_ns")) / 1e6;
    run.showFromMainMs = (f.at("show_ns") - f.at("main_ns")) / 1e6;
    run.hwmKb = long(f.at("hwm_kb"));
    return run;
}

std::optional<Run> runTool(const QString& tool) {
    Child child = spawn({tool.toStdString()},
                        environmentWith({{"QT_QPA_PLATFORM", "offscreen"},
                                         {"QT_LOGGING_RULES", "qt.widgets.painting=true"},
                                         {"QT_MESSAGE_PATTERN", "%{category}: %{message}"}}),
                        2);
    if (child.pid < 0)
        return std::nullopt;
    std::string text;
    const bool shown = readUntil(child.out, text, kChildTimeoutMs, [](const std::string& t) {
        const std::size_t at = t.find("Flushing QRegion");
        return at != std::string::npos && t.find("frmMain", at) != std::string::npos;
    });
    Run run;
    run.fromSpawnMs = millis(Clock::now() - child.spawned);
    std::string settling;
    readUntil(child.out, settling, kSettleMs, [](const std::string&) { return false; });
    run.hwmKb = statusKb("VmHWM", child.pid);
    run.anonKb = statusKb("RssAnon", child.pid);
    // A message box would mean the port did not open: a start-up other than the one timed.
    const bool boxShown = (text + settling).find("QMessageBox") != std::string::npos;
    finish(child, true);
    if (!shown || boxShown)
        return std::nullopt;
    return run;
}

// Watches the window for its first show and first paint; once that paint has gone out to the
// screen, prints the times and ends the event loop.
class FirstFrame : public QObject {
public:
    explicit FirstFrame(Clock::time_point mainEntry, frmMain& window)
        : mainEntry_(mainEntry), window_(window) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_ && event->type() == QEvent::Show && shown_ == Clock::time_point{})
            shown_ = Clock::now();
        if (watched == &window_ && event->type() == QEvent::Paint && !painting_) {
            painting_ = true;
            // Runs after this event: the paint of every child and the flush that follows it.
            QTimer::singleShot(0, this, [this] { report(); });
        }
        return false;
    }

private:
    void report() {
        const Clock::time_point painted = Clock::now();
        std::printf("main_ns %lld\nshow_ns %lld\npainted_ns %lld\nhwm_kb %ld\nport_open %d\n",
                    static_cast<long long>(nanosSinceBoot(mainEntry_)),
                    static_cast<long long>(nanosSinceBoot(shown_)),
                    static_cast<long long>(nanosSinceBoot(painted)), statusKb("VmHWM"),
                    window_.MSComm1->portOpen() ? 1 : 0);
        std::fflush(stdout);
        QCoreApplication::quit();
    }

    Clock::time_point mainEntry_;
    frmMain& window_;
    Clock::time_point shown_{};
    bool painting_ = false;
};

} // namespace

int startupChild(int argc, char** argv, Clock::time_point mainEntry) {
    if (argc < 3)
        return failure("startup-child needs the program directory");
    const QString programDir = QString::fromLocal8Bit(argv[2]);

    // The tool's main(), with the program directory given rather than taken from the binary's.
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qf7320-tool"));
    MessageBoxSink messages;
    frmMain window(std::make_unique<QtSerialComponent>(programDir), messages, programDir);
    messages.setParent(&window);
    look::centreOnScreen(window);
    FirstFrame watcher(mainEntry, window);
    window.installEventFilter(&watcher);
    window.show();
    return QApplication::exec();
}

int startup(int runs) {
    const std::string selfPath = QCoreApplication::applicationFilePath().toStdString();
    const char* self = selfPath.c_str();
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() || !dir.writeCommSet(9600) ||
        !sim.start(dir, 9600, {QStringLiteral("--pace")}))
        return failure("the simulator did not start: " + sim.log().toStdString());
    const QString tool = dir.file(QStringLiteral("qf7320-tool"));
    if (!QFile::copy(QStringLiteral(QF_TOOL_PATH), tool))
        return failure("cannot copy " QF_TOOL_PATH);

    std::vector<double> hookedSpawn;
    std::vector<double> hookedMain;
    std::vector<double> hookedShow;
    std::vector<double> toolSpawn;
    long hookedHwm = 0;
    long toolHwm = 0;
    long toolAnon = 0;
    // One unmeasured run of each first, so that every measured run finds the libraries, fonts
    // and plugins in the page cache alike.
    for (int i = -1; i < runs; ++i) {
        const auto hooked = runHooked(self, dir);
        if (!hooked)
            return failure("the window did not come up in the start-up run");
        const auto real = runTool(tool);
        if (!real)
            return failure("qf7320-tool did not show its window (or showed a message)");
        if (i < 0)
            continue;
        hookedSpawn.push_back(hooked->fromSpawnMs);
        hookedMain.push_back(hooked->fromMainMs);
        hookedShow.push_back(hooked->showFromMainMs);
        toolSpawn.push_back(real->fromSpawnMs);
        hookedHwm = std::max(hookedHwm, hooked->hwmKb);
        toolHwm = std::max(toolHwm, real->hwmKb);
        toolAnon = std::max(toolAnon, real->anonKb);
    }
    result("hooked_spawn_ms", summarize(hookedSpawn).median);
    result("hooked_main_ms", summarize(hookedMain).median);
    result("hooked_show_from_main_ms", summarize(hookedShow).median);
    result("hooked_hwm_kb", double(hookedHwm));
    result("tool_spawn_ms", summarize(toolSpawn).median);
    result("tool_spawn_max_ms", summarize(toolSpawn).max);
    result("tool_hwm_kb", double(toolHwm));
    result("tool_anon_kb", double(toolAnon));
    return 0;
}

} // namespace bench
