// Uploads goods from a CSV file to the terminal, lets the terminal process them and gives it a new
// operation ID.
//   cscript //nologo upload_goods.js PORT FILE OPERATION_ID
// PORT names the terminal's port (COM3, USB, LAN:192.168.1.7:5000, ...); FILE holds one goods row
// per line in the terminal's format; OPERATION_ID 0 keeps the terminal's current operation ID.
// Exit status: 0 on success, 1 on failure (with a message), 2 for missing or bad arguments.

if (WScript.Arguments.length != 3) {
  WScript.Echo("usage: cscript //nologo upload_goods.js PORT FILE OPERATION_ID");
  WScript.Quit(2);
}
var file = WScript.Arguments(1);
// The operation ID is checked before anything is sent: digits only, at most 2147483647.
var operationId = /^[0-9]{1,10}$/.test(WScript.Arguments(2)) ? parseInt(WScript.Arguments(2), 10) : -1;
if (operationId < 0 || operationId > 2147483647) {
  WScript.Echo("OPERATION_ID must be a whole number from 0 to 2147483647, not '" + WScript.Arguments(2) + "'");
  WScript.Quit(2);
}

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
  WScript.Quit(1);
}

var goods = ostrel.ReadCSVStrings(file);
if (ostrel.LastErrorCode != 0) fail("reading " + file);

ostrel.Port = WScript.Arguments(0);
if (ostrel.ConnectTerminal() != 1) fail("connect");
// Loading mode, then one call per table (7 is goods), then SendFinal: the terminal processes what
// it received and, for an ID above 0, takes it as its current operation ID.
if (ostrel.SendPrepare() != 0) fail("prepare");
if (ostrel.SendTableAsStrings(7, goods) != 0) fail("upload");
if (ostrel.SendFinal(operationId) != 0) fail("processing");
WScript.Echo(goods.Count + " goods rows uploaded; operation ID " + ostrel.CurrentID(2));
ostrel.DisconnectTerminal();
