#include "cli/verbs.h"

namespace cli {

std::span<const Verb> verbs() {
    static const Verb table[]{
        {"read",
         {},
         "one measurement, in lx",
         "One measurement: register 0 of the sensor, shown as the window shows "
         "it, in lx (the register times 10). The line reads '1000 lx'. With "
         "several stations (-s 1,3,5-7), one result per station in the order "
         "given, each line naming its station ('station 3: 1000 lx'), and the "
         "worst status of them as the exit status.",
         {"qf7320 --port /dev/ttyUSB0 read", "qf7320 -p COM3 -s 7 read --registers 3 --json",
          "qf7320 -p tcp://192.168.1.50:502 -s 1-4 read"},
         {Option("registers", "also print the raw registers 0..N-1 (1-8)", "N")},
         readCommand,
         500,
         1,
         true,
         true},
        {"poll",
         {},
         "log measurements: text, JSON, CSV and MQTT, through a lost port",
         "Reads the measurement of every station given with -s (1,3,5-7) again and again, "
         "one station after the other each period: one row per station per cycle with its "
         "time (ISO 8601, local, milliseconds, with the offset from UTC), station, lx, "
         "latency and status. A sample that fails is recorded with its status and polling "
         "goes on. A station that failed 3 cycles in a row is asked every 2nd cycle, then "
         "every 4th, 8th... but at least once a minute, and every cycle again once it "
         "answers; a cycle it is not asked in gives it a row with the status skipped. A "
         "port that goes away (an adapter unplugged) is said once; every sample due while it "
         "is gone is a port-error row with no value, the period is kept, and the same path "
         "is opened again 0.5 s later, then 1, 2, 4 up to every 10 s (a /dev/serial/by-id "
         "name or a COMn link finds the adapter in any socket); its return is said with the "
         "time it was gone. With --csv FILE, rows are appended to FILE, whole and flushed; "
         "SIGHUP closes and opens it again (logrotate), and a failed write (a full disk) is "
         "said once: the rows wait in memory, up to 8 MB, and go in, in order, as soon as "
         "the file takes them again. With --mqtt, every sample is published "
         "to the broker, kept on disk while the broker cannot be reached and delivered "
         "later, in order, with its own time. Ctrl-C, SIGTERM or the end print a summary on "
         "standard error, one block per station: sent, answered, timeouts, bad replies, "
         "exceptions, skipped, port errors and the latency's min / avg / p95 / max; then the "
         "times the port was lost and for how long, rows not written, samples published. "
         "Requests never pile up: a period shorter than a cycle polls back to back. Exits 0 "
         "when at least one sample was answered; 2 when the port cannot be opened at the "
         "start, is lost with --no-reconnect, or the broker refuses the password or its "
         "certificate does not verify.",
         {"qf7320 -p /dev/ttyUSB0 poll --period 1000 --duration 86400 --csv "
          "day.csv",
          "qf7320 -p COM1 -s 1-4 poll --period 0 --samples 100 --json",
          "QF7320_MQTT_PASSWORD=... qf7320 -p /dev/serial/by-id/usb-FTDI_X-if00-"
          "port0 poll --mqtt mqtts://logger@broker.lan/plant/hall1 --ha"},
         {Option("period",
                 "time from one cycle's start to the next (default 1000; 0: "
                 "back to back)",
                 "MS"),
          Option("samples", "stop after N cycles (N samples of each station)", "N"),
          Option("duration", "stop after this many seconds", "SECONDS"),
          Option("csv",
                 "also write time,station,lux,latency_ms,status rows to FILE, "
                 "appended when it begins with that header (a new or empty file "
                 "gets it; a file that begins otherwise is refused, untouched), "
                 "or, with -, instead of the text lines to standard output; "
                 "every row is flushed whole; SIGHUP reopens FILE",
                 "FILE|-"),
          Option("no-reconnect", "end with exit status 2 when the port is lost, instead of "
                                 "opening it again"),
          Option("mqtt",
                 "publish every sample to this broker (not in the Windows build): "
                 "mqtt://[USER@]HOST[:1883]"
                 "[/PREFIX] or mqtts://...[:8883] (TLS, verified against the "
                 "system's certificates). PREFIX defaults to qf7320/<hostname>; "
                 "topics PREFIX/<station>/state (one JSON object per sample: "
                 "time, seq, station, lux, status, latency_ms; retained, QoS 1) "
                 "and PREFIX/status (online, or offline as the last will; "
                 "retained). The password comes from the environment variable "
                 "QF7320_MQTT_PASSWORD or --mqtt-password-file, never from an "
                 "argument",
                 "URL"),
          Option("mqtt-password-file", "the broker's password: the first line of FILE", "FILE"),
          Option("mqtt-ca",
                 "mqtts: verify the broker's certificate against the "
                 "certificates in FILE (PEM) instead of the system's",
                 "FILE"),
          Option("mqtt-insecure", "mqtts: accept a certificate that does not verify (the link is "
                                  "encrypted, but the broker is not known to be the right one)"),
          Option("mqtt-store",
                 "where samples wait for the broker, kept across restarts; each "
                 "station's seq counts on from the last one this store gave "
                 "(default $XDG_STATE_HOME/qf7320, else ~/.local/state/qf7320)",
                 "DIR"),
          Option("mqtt-buffer",
                 "the most samples the store holds for the broker; beyond it the "
                 "oldest are dropped, said and counted (default 100000)",
                 "N"),
          Option("ha", "with --mqtt: announce every station to Home Assistant (MQTT "
                       "discovery, a sensor with device class illuminance in lx), "
                       "again whenever Home Assistant comes online"),
          Option("ha-prefix", "Home Assistant's discovery prefix (default homeassistant)",
                 "PREFIX"),
          Option("http",
                 "serve, while the poll runs, a live page of every station (its reading, "
                 "status, counts and a chart of the whole poll) at /, Prometheus metrics at "
                 "/metrics and the same state as JSON at /api/v1/stations; read-only, at most "
                 "16 clients at once. ADDRESS is numeric, [IPv6] in brackets (default "
                 "127.0.0.1: this machine only; 0.0.0.0 for every network); PORT 0 picks a "
                 "free one. Where it listens is said on standard error",
                 "[ADDRESS:]PORT"),
          Option("http-token-file",
                 "with --http: every request must carry the first line of FILE as a bearer "
                 "token (Authorization: Bearer TOKEN; a browser asks for it as the password)",
                 "FILE")},
         pollCommand,
         500,
         1,
         true,
         true},
        {"get",
         "[scale|offset|da4|da20|range|all]",
         "the calibration parameters",
         "Reads the calibration parameters (registers 3-7, function 3) and shows "
         "them as the window does: scale with four decimals, offset signed, da4, "
         "da20 and range unsigned. Without a name, all five. With several "
         "stations (-s 1,3,5-7), one line per station naming it ('station 3: "
         "scale 1.0000, offset 0, ...') or one JSON object each, and the worst "
         "status of them as the exit status.",
         {"qf7320 -p /dev/ttyUSB0 get", "qf7320 -p COM1 -s 7 get scale --json",
          "qf7320 -p rtu+tcp://10.0.0.20:4001 -s 1,2 get"},
         {},
         getCommand,
         500,
         1,
         true,
         true},
        {"set",
         "NAME VALUE",
         "write a calibration parameter and read it back",
         "Writes a calibration parameter with function 6 to 0x0A03-0x0A07, encoded as the "
         "window encodes it (scale times 10000; a negative offset in two's complement), then "
         "reads it back and compares. NAME is scale, offset, da4, da20 or range. A value "
         "outside the range the window's hint gives (scale 0.2-6, offset -1000-1000, da4 "
         "650-800, da20 3000-4095, range 500-65535) is refused before anything is sent.",
         {"qf7320 -p /dev/ttyUSB0 set scale 1.2345", "qf7320 -p COM1 set offset -25 --json"},
         {Option("force", "send a value outside the hint's range (never one that does not "
                          "fit in 16 bits)"),
          Option("no-verify", "do not read the value back")},
         setCommand},
        {"calibrate",
         {},
         "set the scale factor against a reference meter, or the offset in the dark",
         "Calibrates the sensor at --station against a reference lux meter beside it, in the "
         "same light. It reads the present scale factor and offset, then the measurement "
         "--samples times, one every --period, and refuses when the light is not steady: a "
         "sample that fails, or readings that spread (max - min) more than --steady % of their "
         "mean and more than one step of the reading (10 lx); it says what it saw, writes "
         "nothing and exits 7. Taking the reading to be (raw x scale) + offset, it computes the "
         "scale factor that brings the mean to --reference, and refuses one outside "
         "0.2000-6.0000 (exit 7) with the figure it would have been. It writes it with "
         "verification, as set does, reads --samples again and shows before and after: the "
         "mean, the error against the reference in lx and %, the old and new scale factor. "
         "While the error is above --tolerance, it corrects again from the new readings, three "
         "passes in all, so that a sensor whose arithmetic differs still converges; when it "
         "does not, it says so with the figures and exits 6. With --zero instead, the sensor "
         "covered: the offset (-1000 to 1000) that brings the dark reading to 0 lx, within "
         "10 lx, with the same checks. --dry-run shows what it would write and writes nothing. "
         "--json gives one object with every figure, and --log FILE appends that object as a "
         "line, whatever the outcome: a record of every sensor of a batch.",
         {"qf7320 -p /dev/ttyUSB0 calibrate --reference 10000",
          "qf7320 -p COM3 -s 7 calibrate --reference 523.5 --samples 20 --period 250 --dry-run",
          "qf7320 -p /dev/ttyUSB0 calibrate --zero --log bench.jsonl"},
         {Option("reference", "what the reference meter beside the sensor reads, in lx", "LUX"),
          Option("zero", "instead of --reference: with the sensor covered, set the offset so "
                         "that it reads 0 lx"),
          Option("samples", "readings taken before, and after each write (default 10)", "N"),
          Option("period", "time from one reading to the next (default 500)", "MS"),
          Option("steady",
                 "the widest spread (max - min) of the readings, in % of their mean "
                 "(default 2)",
                 "PCT"),
          Option("tolerance",
                 "the largest error left after a write, in % of the reference (default 1)", "PCT"),
          Option("dry-run", "show what would be written, and write nothing"),
          Option("log",
                 "append the result to FILE as one JSON object a line: time, port, station, "
                 "reference, the readings before and after, old and new values, outcome",
                 "FILE")},
         calibrateCommand},
        {"apply",
         "FILE",
         "write the parameters a file gives, with verification",
         "Writes the calibration parameters FILE gives: FILE is what 'qf7320 get --json' "
         "prints, with any of scale, offset, da4, da20 and range (its time, port, baud, "
         "station, latency_ms and status are ignored). Reads the five parameters, writes each "
         "one FILE gives that differs, with verification as set does, and prints one line a "
         "parameter: 'scale 1.0800 -> 1.0000 (verified)' or 'offset 0 unchanged'. With "
         "several stations (-s 1,3,5-7), one result each, each line naming its station. A "
         "value outside the range set gives, a field that is no parameter, or a file that is "
         "not such an object is refused before anything is sent (exit 1). A write that fails, "
         "or is not read back as written (exit 6), stops that station there and says which "
         "parameters were already written; the next station is done all the same, and the "
         "exit status is the worst of them.",
         {"qf7320 -p /dev/ttyUSB0 -s 1 get --json > settings.json",
          "qf7320 -p /dev/ttyUSB0 -s 2-12 apply settings.json"},
         {},
         applyCommand,
         500,
         1,
         true,
         true},
        {"diff",
         "FILE",
         "compare the parameters with a file, writing nothing",
         "Compares the calibration parameters with FILE, what 'qf7320 get --json' prints, as "
         "apply would, and writes nothing: one line a parameter, 'scale 1.0800 -> 1.0000 "
         "(differs)' or 'offset 0 unchanged'. Exits 0 when the sensor holds what FILE gives, "
         "8 when a parameter differs; with several stations (-s 1,3,5-7), one result each and "
         "the worst status of them (a station that does not answer ranks above a difference).",
         {"qf7320 -p /dev/ttyUSB0 -s 2-12 diff settings.json",
          "qf7320 -p COM3 diff settings.json --json"},
         {},
         diffCommand,
         500,
         1,
         true,
         true},
        {"address",
         {},
         "the sensor's station address, or change it",
         "Without --set: asks the sensor its station address (function 0x25 to station "
         "250, which a sensor answers whatever its address; with several sensors on one line "
         "their replies collide, which shows as a bad reply: 'scan --stations' finds each "
         "of them). With --set NEW: changes the address of the sensor at "
         "--station to NEW (function 6 to 0x0B00), then checks that it answers a read at "
         "NEW.",
         {"qf7320 -p /dev/ttyUSB0 address", "qf7320 -p /dev/ttyUSB0 -s 1 address --set 7"},
         {Option("set", "the new address, 1-35 as the window allows", "NEW"),
          Option("force", "with --set: allow 1-247")},
         addressCommand},
        {"commission",
         {},
         "give a box of new sensors their addresses, one after the other",
         "The production line's loop for sensors that all come at the factory address: waits "
         "for a sensor to answer at --from (1), moves it to --next N as 'address --set' does "
         "(verified at N), with --apply FILE also writes the parameters FILE gives (what get "
         "--json prints) with verification, then prints a line with the time, the new "
         "address and its parameters (appended to --log FILE as a JSON object), rings the "
         "terminal bell and says to connect the next sensor. Once the sensor stops answering "
         "(taken off the line) it waits for the next one, which gets N+1, and so on up to "
         "--last M or Ctrl-C; the summary on standard error says how many were commissioned "
         "and at which addresses. It never moves a sensor onto an address that already "
         "answers (it says so and waits), and writes nothing while two sensors answer at "
         "once (their answers collide at --from or to the address query). A sensor that "
         "fails is said, keeps no address of the run, and is to be set aside. A port that is "
         "lost is said and opened again until it is back. Exits 0, or 6 (or the status of "
         "the failure) when a sensor was not commissioned.",
         {"qf7320 -p /dev/ttyUSB0 commission --next 2 --last 13 --log box7.jsonl",
          "qf7320 -p COM3 commission --next 20 --apply settings.json"},
         {Option("next",
                 "the address the first sensor gets; each next one gets one more (1-35, "
                 "the addresses the window allows)",
                 "N"),
          Option("last", "stop once a sensor got this address (default 35, or 247 with --force)",
                 "M"),
          Option("from", "the address new sensors answer at (default 1, the factory's)", "S"),
          Option("apply",
                 "also write to every sensor the parameters FILE gives (what get --json "
                 "prints: scale, offset, da4, da20, range), each verified",
                 "FILE"),
          Option("log",
                 "append a JSON object a line per sensor to FILE: time, port, address and "
                 "its parameters",
                 "FILE"),
          Option("force", "allow addresses 1-247")},
         commissionCommand},
        {"scan",
         {},
         "find sensors whose rate or address is not known",
         "Finds sensors: at each rate it asks the address query (function 0x25), and with "
         "--stations it also reads register 0 at every station of the range. Prints every "
         "sensor found as rate and station, with its reading. Exits 3 when it finds none. "
         "--baud alone scans that one rate. Through rtu+tcp:// or tcp:// the rate of the "
         "serial line beyond is set on the server or the gateway, so scan asks at that one "
         "rate (--bauds is refused) and prints station and reading; a gateway's exceptions "
         "0A and 0B (no path, no answer) are not sensors.",
         {"qf7320 -p /dev/ttyUSB0 scan",
          "qf7320 -p /dev/ttyUSB0 scan --bauds 9600,19200 --stations 1-35",
          "qf7320 -p tcp://192.168.1.50 scan --stations 1-247"},
         {Option("bauds", "the rates to try (default 4800,9600,14400,19200)", "LIST"),
          Option("stations", "also read register 0 at every station FROM-TO (1-247)", "FROM-TO")},
         scanCommand,
         50,
         0},
        {"ports",
         {},
         "the serial devices, and what COM1-COM16 open for the window",
         "Lists every serial device of this machine (path, its /dev/serial/by-id name, "
         "description, manufacturer, USB ids, serial number, and whether you may open it), "
         "then COM1-COM16 with what each opens for the window beside qf7320 (or in --dir): "
         "a COMn link there, else the platform's own port. When that folder cannot be "
         "written, the user's folder ($XDG_CONFIG_HOME/qf7320, else ~/.config/qf7320) is "
         "looked in first, and the list names both. Talks to no sensor.",
         {"qf7320 ports", "qf7320 ports --dir /opt/qf7320/bin --json"},
         {Option("dir",
                 "the directory of a window installed elsewhere (default: the "
                 "one that holds qf7320)",
                 "DIR")},
         portsCommand,
         500,
         1,
         false},
        {"link",
         "COMn [DEVICE]",
         "make COMn beside the window open a given device",
         "Makes COMn beside the window (beside qf7320, or in --dir; in the user's folder "
         "$XDG_CONFIG_HOME/qf7320, else ~/.config/qf7320, when that one cannot be written) a "
         "link to DEVICE, by its /dev/serial/by-id name when it has one, so that COMn stays "
         "the same adapter whichever USB socket it is plugged into. An existing COMn is replaced "
         "only with "
         "--force; a DEVICE that is not a serial device is refused. With --remove, takes "
         "the COMn link away. Talks to no sensor. Not in the Windows build, where COMn is "
         "always the system's own port.",
         {"qf7320 link COM3 /dev/ttyUSB0", "qf7320 link COM3 --remove"},
         {Option("dir",
                 "the directory of a window installed elsewhere (default: the "
                 "one that holds qf7320)",
                 "DIR"),
          Option("force", "replace an existing COMn"), Option("remove", "remove the COMn link")},
         linkCommand,
         500,
         1,
         false},
        {"bridge",
         "COMn ENDPOINT",
         "let the window reach a sensor elsewhere through COMn",
         "Makes COMn beside the window (beside qf7320, or in --dir; in the user's folder when "
         "that one cannot be written) a pseudo-terminal and "
         "relays every request the window writes there to ENDPOINT, and the answer back, "
         "until Ctrl-C or SIGTERM, then removes COMn. ENDPOINT is what --port takes. "
         "Says on standard error when it connects, loses and regains the endpoint, and "
         "reconnects by itself; -v shows every frame. An existing COMn is replaced only "
         "with --force. Not in the Windows build, which would need a virtual null-modem "
         "pair.",
         {"qf7320 bridge COM5 tcp://192.0.2.10:502",
          "qf7320 bridge COM5 rtu+tcp://192.0.2.11:4001 --dir /opt/qf7320/bin"},
         {Option("dir",
                 "the directory of a window installed elsewhere (default: the "
                 "one that holds qf7320)",
                 "DIR"),
          Option("force", "replace an existing COMn")},
         bridgeCommand,
         1000,
         0,
         false},
        {"plot",
         "FILE",
         "a picture of what poll --csv logged",
         "Draws the illuminance in a poll --csv file against local time, one line per "
         "station, into an SVG or PNG picture; the title gives the span and the counts of "
         "samples and failures. A failed sample, and a stretch without rows longer than three "
         "of the station's usual intervals, break the line; failed samples are marked on the "
         "time axis. A row that does not parse is named by its line number and left out; a "
         "file that is still being written is drawn up to its last whole row. -s picks "
         "stations (all by default). Talks to no sensor; exits 1 when there is nothing to "
         "draw. Not in the Windows build.",
         {"qf7320 plot day.csv", "qf7320 plot day.csv -o noon.png --from 2026-12-10T11:00 --to "
                                 "2026-12-10T13:00 --size 1600x800"},
         {Option({"o", "output"},
                 "the picture: OUT.svg or OUT.png (default: FILE with "
                 ".svg)",
                 "OUT"),
          Option("from",
                 "only samples at or after TIME: ISO 8601 such as 2026-12-10T14:00 "
                 "(local time), with +01:00 or Z, or a date alone",
                 "TIME"),
          Option("to", "only samples at or before TIME", "TIME"),
          Option("title", "the title (default: the file's name)", "TEXT"),
          Option("size", "the picture's size in pixels (default 1200x600)", "WxH")},
         plotCommand,
         500,
         1,
         false,
         true},
    };
    return table;
}

} // namespace cli
