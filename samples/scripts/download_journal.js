// Downloads the terminal's journal into a CSV file.
//   cscript //nologo download_journal.js PORT FILE
// PORT names the terminal's port (COM3, USB, LAN:192.168.1.7:5000, ...); FILE is created or
// replaced: one row per line, as the terminal sent it, lines ending in CR LF. FILE is replaced
// only when the whole journal has arrived and been saved: after any failure an existing FILE is
// left as it was and no part of the journal is written.
// Exit status: 0 on success, 1 on failure (with a message), 2 for missing arguments.

if (WScript.Arguments.length != 2) {
  WScript.Echo("usage: cscript //nologo download_journal.js PORT FILE");
  WScript.Quit(2);
}
var file = WScript.Arguments(1);
var partial = file + ".partial";
var fso = new ActiveXObject("Scripting.FileSystemObject");

var ostrel;
try {
  ostrel = new ActiveXObject("Zyl.Ostrel2");
} catch (e) {
  WScript.Echo("cannot create Zyl.Ostrel2: is korvane.dll registered (regsvr32 korvane.dll)?");
  WScript.Quit(1);
}

// Every failure leaves its result code, stage and Russian message in the LastError properties.
// The port is closed on every way out: after a failed ConnectTerminal it may still be open.
function fail(what) {
  WScript.Echo(what + " failed: result " + ostrel.LastErrorCode + " [" + ostrel.LastErrorContext + "] " + ostrel.LastErrorMsg);
  ostrel.DisconnectTerminal();
  if (fso.FileExists(partial)) fso.DeleteFile(partial);
  WScript.Quit(1);
}

ostrel.Port = WScript.Arguments(0);
if (ostrel.ConnectTerminal() != 1) fail("connect");
// The terminal must hold a job and be ready to unload.
if (ostrel.RecvPrepare() != 0) fail("prepare");
// Table 0 is the journal. RecvTableAsStrings returns the rows received so far even when the
// download fails (a terminal that stops early, a broken line): only LastErrorCode tells.
var journal = ostrel.RecvTableAsStrings(0);
if (ostrel.LastErrorCode != 0) fail("download");
if (ostrel.RecvFinal() != 0) fail("finishing the download");
ostrel.DisconnectTerminal();

// Saved beside FILE first, then put in its place, so that a failed save (a full disk) never
// leaves a partial table under FILE's name.
ostrel.SaveCSVStrings(partial, journal, false);
if (ostrel.LastErrorCode != 0) fail("saving " + partial);
try {
  if (fso.FileExists(file)) fso.DeleteFile(file);
  fso.MoveFile(partial, file);
} catch (e) {
  WScript.Echo("replacing " + file + " failed: " + e.message + " (the journal is in " + partial + ")");
  WScript.Quit(1);
}
WScript.Echo(journal.Count + " journal rows saved to " + file);
