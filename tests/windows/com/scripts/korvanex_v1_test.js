// Zyl.KorvaneX2 at protocol 1.00 on COM12, a pty where the simulator plays a 1.00 terminal: the
// serial line opened by the object itself, a command echoed, rows read until EOF. Slow under Wine,
// whose serial reads wait their whole time-out.
//   cscript //nologo korvanex_v1_test.js <state folder> <samples folder>
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

if (!fso.FileExists(stateDir + "\\v1\\port")) {
  WScript.Echo("[  SKIPPED ] no 1.00 simulator");
  WScript.Quit(0);
}
var want = fso.OpenTextFile(samplesDir + "\\journal.csv", ForReading).ReadAll().split("\r\n");
want.pop();

var x = new ActiveXObject("Zyl.KorvaneX2");
checkEq(x.SelectProtocolVersion("1"), "1.00", "SelectProtocolVersion 1");
checkEq(x.OpenPort("COM12"), 1, "OpenPort COM12");
checkEq(x.SendCMD("021"), 1, "SendCMD 021");
var rows = [], unused;
for (var n = 0; n <= want.length; n++) {
  var r = x.TryToRecv(unused);
  if (r != 1) {
    check(false, "TryToRecv " + r);
    break;
  }
  if (x.EOF == 1) break;
  rows.push(x.Buffer);
}
checkEq(rows.join("|"), want.join("|"), "journal rows");
checkEq(x.EOF, 1, "EOF");
checkEq(x.ClosePort(), 0, "ClosePort");

if (failures == 0) WScript.Echo("OK " + checks + " checks");
else WScript.Echo(failures + " of " + checks + " checks failed");
WScript.Quit(failures);
