// Connects to a terminal and shows who it is.
//   cscript //nologo terminal_info.js PORT
// PORT names the terminal's port: COM3, USB, LAN:192.168.1.7:5000, ...
// Exit status: 0 when the terminal answered, 1 when it did not, 2 for a missing argument.

if (WScript.Arguments.length != 1) {
  WScript.Echo("usage: cscript //nologo terminal_info.js PORT");
  WScript.Quit(2);
}

var ostrel;
try {
  ostrel = new ActiveXObject("Zyl.Ostrel2");
} catch (e) {
  WScript.Echo("cannot create Zyl.Ostrel2: is korvane.dll registered (regsvr32 korvane.dll)?");
  WScript.Quit(1);
}

// ConnectTerminal checks the link, sets the terminal's clock and reads its identity.
// It returns 1 when connected; otherwise a negative result code, explained by LastErrorMsg.
// A failed connect may leave the port open: DisconnectTerminal closes it.
ostrel.Port = WScript.Arguments(0);
if (ostrel.ConnectTerminal() != 1) {
  WScript.Echo("cannot connect: result " + ostrel.LastErrorCode + " [" + ostrel.LastErrorContext + "] " + ostrel.LastErrorMsg);
  ostrel.DisconnectTerminal();
  WScript.Quit(1);
}

WScript.Echo("program:      " + ostrel.RemoteProgName + " " + ostrel.RemoteProgVersion);
WScript.Echo("device:       " + ostrel.RemoteDevName + ", ID " + ostrel.RemoteDevID);
WScript.Echo("protocol:     " + ostrel.ProtocolVersion);
// CurrentID(2): the terminal's current operation (job) ID; 0 means no job, -1 that the query failed.
WScript.Echo("operation ID: " + ostrel.CurrentID(2));
ostrel.DisconnectTerminal();
