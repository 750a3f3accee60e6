#include "cli/verbs.h"

namespace cli {

namespace {

QCommandLineOption option(const QString& name, const QString& description,
                          const QString& valueName = {}) {
    return QCommandLineOption(name, description, valueName);
}

} // namespace

const std::vector<Verb>& verbs() {
    static const std::vector<Verb> table{
        {QStringLiteral("read"),
         QString(),
         QStringLiteral("one measurement, in lx"),
         QStringLiteral("One measurement: register 0 of the sensor, shown as the window shows "
                        "it, in lx (the register times 10). The line reads '1000 lx'."),
         {QStringLiteral("qf7320 --port /dev/ttyUSB0 read"),
          QStringLiteral("qf7320 -p COM3 -s 7 read --registers 3 --json")},
         {option(QStringLiteral("registers"),
                 QStringLiteral("also print the raw registers 0..N-1 (1-8)"), QStringLiteral("N"))},
         readCommand,
         500,
         1,
         true,
         true},
        {QStringLiteral("poll"),
         QString(),
         QStringLiteral("repeated measurements with their time, latency and status"),
         QStringLiteral(
             "Reads the measurement again and again: one line a sample with its time (ISO 8601, "
             "local, milliseconds), lx, latency and status. A sample that fails is recorded with "
             "its status and polling goes on. Ctrl-C, SIGTERM or the end print a summary on "
             "standard error: sent, answered, timeouts, bad replies, exceptions and the "
             "latency's min / avg / p95 / max. Requests never pile up: a period shorter than a "
             "transaction polls back to back. Exits 0 when at least one sample was answered."),
         {QStringLiteral("qf7320 -p /dev/ttyUSB0 poll --period 1000 --duration 86400 --csv "
                         "day.csv"),
          QStringLiteral("qf7320 -p COM1 poll --period 0 --samples 100 --json")},
         {option(QStringLiteral("period"),
                 QStringLiteral("time from one sample's start to the next (default 1000; 0: "
                                "back to back)"),
                 QStringLiteral("MS")),
          option(QStringLiteral("samples"), QStringLiteral("stop after N samples"),
                 QStringLiteral("N")),
          option(QStringLiteral("duration"), QStringLiteral("stop after this many seconds"),
                 QStringLiteral("SECONDS")),
          option(QStringLiteral("csv"),
                 QStringLiteral("also write time,station,lux,latency_ms,status lines, with a "
                                "header, to FILE (replaced) or, with -, instead of the text "
                                "lines to standard output; every line is flushed"),
                 QStringLiteral("FILE|-"))},
         pollCommand,
         500,
         1,
         true,
         true},
        {QStringLiteral("get"),
         QStringLiteral("[scale|offset|da4|da20|range|all]"),
         QStringLiteral("the calibration parameters"),
         QStringLiteral("Reads the calibration parameters (registers 3-7, function 3) and shows "
                        "them as the window does: scale with four decimals, offset signed, da4, "
                        "da20 and range unsigned. Without a name, all five."),
         {QStringLiteral("qf7320 -p /dev/ttyUSB0 get"),
          QStringLiteral("qf7320 -p COM1 -s 7 get scale --json")},
         {},
         getCommand,
         500,
         1,
         true,
         true},
        {QStringLiteral("set"),
         QStringLiteral("NAME VALUE"),
         QStringLiteral("write a calibration parameter and read it back"),
         QStringLiteral(
             "Writes a calibration parameter with function 6 to 0x0A03-0x0A07, encoded as the "
             "window encodes it (scale times 10000; a negative offset in two's complement), then "
             "reads it back and compares. NAME is scale, offset, da4, da20 or range. A value "
             "outside the range the window's hint gives (scale 0.2-6, offset -1000-1000, da4 "
             "650-800, da20 3000-4095, range 500-65535) is refused before anything is sent."),
         {QStringLiteral("qf7320 -p /dev/ttyUSB0 set scale 1.2345"),
          QStringLiteral("qf7320 -p COM1 set offset -25 --json")},
         {option(QStringLiteral("force"),
                 QStringLiteral("send a value outside the hint's range (never one that does not "
                                "fit in 16 bits)")),
          option(QStringLiteral("no-verify"), QStringLiteral("do not read the value back"))},
         setCommand},
        {QStringLiteral("address"),
         QString(),
         QStringLiteral("the sensor's station address, or change it"),
         QStringLiteral(
             "Without --set: asks the sensor its station address (function 0x25 to station "
             "250, which a sensor answers whatever its address; with several sensors on one line "
             "their replies collide). With --set NEW: changes the address of the sensor at "
             "--station to NEW (function 6 to 0x0B00), then checks that it answers a read at "
             "NEW."),
         {QStringLiteral("qf7320 -p /dev/ttyUSB0 address"),
          QStringLiteral("qf7320 -p /dev/ttyUSB0 -s 1 address --set 7")},
         {option(QStringLiteral("set"),
                 QStringLiteral("the new address, 1-35 as the window allows"),
                 QStringLiteral("NEW")),
          option(QStringLiteral("force"), QStringLiteral("with --set: allow 1-247"))},
         addressCommand},
        {QStringLiteral("scan"),
         QString(),
         QStringLiteral("find sensors whose rate or address is not known"),
         QStringLiteral(
             "Finds sensors: at each rate it asks the address query (function 0x25), and with "
             "--stations it also reads register 0 at every station of the range. Prints every "
             "sensor found as rate and station, with its reading. Exits 3 when it finds none. "
             "--baud alone scans that one rate."),
         {QStringLiteral("qf7320 -p /dev/ttyUSB0 scan"),
          QStringLiteral("qf7320 -p /dev/ttyUSB0 scan --bauds 9600,19200 --stations 1-35")},
         {option(QStringLiteral("bauds"),
                 QStringLiteral("the rates to try (default 4800,9600,14400,19200)"),
                 QStringLiteral("LIST")),
          option(QStringLiteral("stations"),
                 QStringLiteral("also read register 0 at every station FROM-TO (1-247)"),
                 QStringLiteral("FROM-TO"))},
         scanCommand,
         50,
         0},
        {QStringLiteral("ports"),
         QString(),
         QStringLiteral("the serial devices, and what COM1-COM16 open for the window"),
         QStringLiteral(
             "Lists every serial device of this machine (path, its /dev/serial/by-id name, "
             "description, manufacturer, USB ids, serial number, and whether you may open it), "
             "then COM1-COM16 with what each opens for the window beside qf7320 (or in --dir): "
             "a COMn link there, else the platform's own port. Talks to no sensor."),
         {QStringLiteral("qf7320 ports"),
          QStringLiteral("qf7320 ports --dir /opt/qf7320/bin --json")},
         {option(QStringLiteral("dir"),
                 QStringLiteral("the directory of a window installed elsewhere (default: the "
                                "one that holds qf7320)"),
                 QStringLiteral("DIR"))},
         portsCommand,
         500,
         1,
         false},
        {QStringLiteral("link"),
         QStringLiteral("COMn [DEVICE]"),
         QStringLiteral("make COMn beside the window open a given device"),
         QStringLiteral(
             "Makes COMn beside the window (beside qf7320, or in --dir) a link to DEVICE, by its "
             "/dev/serial/by-id name when it has one, so that COMn stays the same adapter "
             "whichever USB socket it is plugged into. An existing COMn is replaced only with "
             "--force; a DEVICE that is not a serial device is refused. With --remove, takes "
             "the COMn link away. Talks to no sensor."),
         {QStringLiteral("qf7320 link COM3 /dev/ttyUSB0"),
          QStringLiteral("qf7320 link COM3 --remove")},
         {option(QStringLiteral("dir"),
                 QStringLiteral("the directory of a window installed elsewhere (default: the "
                                "one that holds qf7320)"),
                 QStringLiteral("DIR")),
          option(QStringLiteral("force"), QStringLiteral("replace an existing COMn")),
          option(QStringLiteral("remove"), QStringLiteral("remove the COMn link"))},
         linkCommand,
         500,
         1,
         false},
        {QStringLiteral("plot"),
         QStringLiteral("FILE"),
         QStringLiteral("a picture of what poll --csv logged"),
         QStringLiteral(
             "Draws the illuminance in a poll --csv file against local time, one line per "
             "station, into an SVG or PNG picture; the title gives the span and the counts of "
             "samples and failures. A failed sample, and a stretch without rows longer than three "
             "of the station's usual intervals, break the line; failed samples are marked on the "
             "time axis. A row that does not parse is named by its line number and left out; a "
             "file that is still being written is drawn up to its last whole row. -s picks "
             "stations (all by default). Talks to no sensor; exits 1 when there is nothing to "
             "draw."),
         {QStringLiteral("qf7320 plot day.csv"),
          QStringLiteral("qf7320 plot day.csv -o noon.png --from 2026-12-10T11:00 --to "
                         "2026-12-10T13:00 --size 1600x800")},
         {QCommandLineOption({QStringLiteral("o"), QStringLiteral("output")},
                             QStringLiteral("the picture: OUT.svg or OUT.png (default: FILE with "
                                            ".svg)"),
                             QStringLiteral("OUT")),
          option(QStringLiteral("from"),
                 QStringLiteral("only samples at or after TIME: ISO 8601 such as 2026-12-10T14:00 "
                                "(local time), with +01:00 or Z, or a date alone"),
                 QStringLiteral("TIME")),
          option(QStringLiteral("to"), QStringLiteral("only samples at or before TIME"),
                 QStringLiteral("TIME")),
          option(QStringLiteral("title"), QStringLiteral("the title (default: the file's name)"),
                 QStringLiteral("TEXT")),
          option(QStringLiteral("size"),
                 QStringLiteral("the picture's size in pixels (default 1200x600)"),
                 QStringLiteral("WxH"))},
         plotCommand,
         500,
         1,
         false,
         true},
    };
    return table;
}

} // namespace cli
