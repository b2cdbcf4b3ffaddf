// Zyl.KorvaneX2 driven by JScript against the simulators of the COM fixtures: rows one at a time
// through TryToRecv, Buffer and EOF, an upload ended by SendEOT, the link check and the versions.
//   cscript //nologo korvanex_test.js <state folder> <samples folder>
// Prints one line per failed check and "OK <n> checks" when all passed; the exit status is the
// number of failures.
var ForReading = 1;
var fso = new ActiveXObject("Scripting.FileSystemObject");
var stateDir = WScript.Arguments(0), samplesDir = WScript.Arguments(1);
var checks = 0, failures = 0;

function check(ok, what) {
  checks++;
  if (!ok) {
    failures++;
    WScript.Echo("FAIL " + what);
  }
}
function checkEq(got, want, what) { check(got === want, what + ": got [" + got + "], want [" + want + "]"); }

function fileRows(path) {
  if (!fso.FileExists(path) || fso.GetFile(path).Size == 0) return [];
  var rows = fso.OpenTextFile(path, ForReading).ReadAll().split("\r\n");
  rows.pop();
  return rows;
}

function portOf(sim) {
  var path = stateDir + "\\" + sim + "\\port";
  if (!fso.FileExists(path)) {
    WScript.Echo("[  SKIPPED ] no simulator (" + path + ")");
    WScript.Quit(0);
  }
  return "LAN:127.0.0.1:" + fso.OpenTextFile(path, ForReading).ReadLine().replace(/\s+/g, "");
}

// Rows until EOF; the out-parameter comes back to JScript as nothing, Buffer holds the row.
function download(x) {
  var rows = [], unused;
  for (var n = 0; n < 1000; n++) {
    var r = x.TryToRecv(unused);
    if (r < 1) {
      check(false, "TryToRecv " + r);
      break;
    }
    if (x.EOF == 1) break;
    rows.push(x.Buffer);
  }
  return rows;
}

var x = new ActiveXObject("Zyl.KorvaneX2");
checkEq(x.LibraryVersion, "4.2.2.0", "LibraryVersion");
checkEq(x.ProtocolVersion, "2.00", "ProtocolVersion at start");
checkEq(x.OpenPort(portOf("v2")), 1, "OpenPort v2");
checkEq(x.IsTerminalOnline(2000), 4, "IsTerminalOnline");
checkEq(x.SendCMD("021"), 1, "SendCMD 021");
var rows = download(x), want = fileRows(samplesDir + "\\journal.csv");
checkEq(rows.length, want.length, "journal rows");
for (var i = 0; i < rows.length && i < want.length; i++) checkEq(rows[i], want[i], "journal row " + (i + 1));
checkEq(x.Buffer, "\x04", "Buffer after the end");
checkEq(x.SendCMD("02"), 0, "a two-character command");
checkEq(x.ClosePort(), 0, "ClosePort");

checkEq(x.SelectProtocolVersion("9"), "3.00", "SelectProtocolVersion 9");
checkEq(x.OpenPort(portOf("v3")), 1, "OpenPort v3");
var upload = ["1;row one;1", "2;row two;2"];
checkEq(x.SendCMD("002"), 1, "SendCMD 002");
checkEq(x.SendCMD("111"), 1, "SendCMD 111");
for (var j = 0; j < upload.length; j++) check(x.TryToSend(upload[j]) > 0, "TryToSend " + j);
check(x.SendEOT() > 0, "SendEOT");
checkEq(x.SendCMD("003"), 1, "SendCMD 003");
var unused;
checkEq(x.TryToRecv(unused), 7, "the verdict");
checkEq(x.Buffer, "SYNC;0;", "the verdict text");
var got = fileRows(stateDir + "\\v3\\data\\uploaded\\operations.csv");
checkEq(got.join("|"), upload.join("|"), "uploaded rows");
x.ClosePort();

if (failures == 0) WScript.Echo("OK " + checks + " checks");
else WScript.Echo(failures + " of " + checks + " checks failed");
WScript.Quit(failures);
