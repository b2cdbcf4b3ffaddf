// Downloads the terminal's journal into a CSV file.
//   cscript //nologo download_journal.js PORT FILE
// PORT names the terminal's port (COM3, USB, LAN:192.168.1.7:5000, ...); FILE is created or
// overwritten: one row per line, as the terminal sent it, lines ending in CR LF.
// Exit status: 0 on success, 1 on failure, 2 for missing arguments.

if (WScript.Arguments.length != 2) {
  WScript.Echo("usage: cscript //nologo download_journal.js PORT FILE");
  WScript.Quit(2);
}
var file = WScript.Arguments(1);

var ostrel;
try {
  ostrel = new ActiveXObject("Zyl.Ostrel2");
} catch (e) {
  WScript.Echo("cannot create Zyl.Ostrel2: is korvane.dll registered (regsvr32 korvane.dll)?");
  WScript.Quit(1);
}

// Every failure leaves its result code, stage and Russian message in the LastError properties.
function fail(what) {
  WScript.Echo(what + " failed: result " + ostrel.LastErrorCode + " [" + ostrel.LastErrorContext + "] " + ostrel.LastErrorMsg);
  WScript.Quit(1);
}

ostrel.Port = WScript.Arguments(0);
if (ostrel.ConnectTerminal() != 1) fail("connect");
// The terminal must hold a job and be ready to unload.
if (ostrel.RecvPrepare() != 0) fail("prepare");
// Table 0 is the journal. RecvTableAsStrings returns the rows as a collection and reports
// failures only through LastErrorCode.
var journal = ostrel.RecvTableAsStrings(0);
if (ostrel.LastErrorCode != 0) fail("download");
ostrel.RecvFinal();
ostrel.DisconnectTerminal();

ostrel.SaveCSVStrings(file, journal, false);
if (ostrel.LastErrorCode != 0) fail("saving " + file);
WScript.Echo(journal.Count + " journal rows saved to " + file);
