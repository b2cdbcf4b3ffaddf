// Lists the ports on which a terminal can be looked for: the computer's serial ports, then "USB"
// (the hand-held's USB connection) and "ActiveSync" (a docked device).
//   cscript //nologo list_ports.js
// Any of these names can be given to Port, as can LAN:HOST:PORT for a terminal on the network.

var ostrel, helper;
try {
  ostrel = new ActiveXObject("Zyl.Ostrel2");
  helper = new ActiveXObject("Zyl.EnumHelper");
} catch (e) {
  WScript.Echo("cannot create Zyl.Ostrel2: is korvane.dll registered (regsvr32 korvane.dll)?");
  WScript.Quit(1);
}

// AvailablePorts is a bare enumerator; Zyl.EnumHelper makes it walkable from a script, here with
// Next until it gives nothing more. (AvailablePortsStrings gives the same names as a collection,
// for new Enumerator(...).)
helper.Attach(ostrel.AvailablePorts);
for (var name = helper.Next(); name !== undefined; name = helper.Next()) WScript.Echo(name);
helper.Detach();
