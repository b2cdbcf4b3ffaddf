' Lists the ports on which a terminal can be looked for: the computer's serial ports, then "USB"
' (the hand-held's USB connection) and "ActiveSync" (a docked device).
'   cscript //nologo list_ports.vbs
' Any of these names can be given to Port, as can LAN:HOST:PORT for a terminal on the network.
Option Explicit

Dim ostrel, name
On Error Resume Next
Set ostrel = CreateObject("Zyl.Ostrel2")
If Err.Number <> 0 Then
  WScript.Echo "cannot create Zyl.Ostrel2: is korvane.dll registered (regsvr32 korvane.dll)?"
  WScript.Quit 1
End If
On Error GoTo 0

' AvailablePortsStrings is a collection, so For Each walks it. (AvailablePorts gives the same
' names as a bare enumerator; scripts walk that one through Zyl.EnumHelper.)
For Each name In ostrel.AvailablePortsStrings
  WScript.Echo name
Next
