' Connects to a terminal and shows who it is.
'   cscript //nologo terminal_info.vbs PORT
' PORT names the terminal's port: COM3, USB, LAN:192.168.1.7:5000, ...
' Exit status: 0 when the terminal answered, 1 when it did not, 2 for a missing argument.
Option Explicit

If WScript.Arguments.Count <> 1 Then
  WScript.Echo "usage: cscript //nologo terminal_info.vbs PORT"
  WScript.Quit 2
End If

Dim ostrel
On Error Resume Next
Set ostrel = CreateObject("Zyl.Ostrel2")
If Err.Number <> 0 Then
  WScript.Echo "cannot create Zyl.Ostrel2: is korvane.dll registered (regsvr32 korvane.dll)?"
  WScript.Quit 1
End If
On Error GoTo 0

' ConnectTerminal checks the link, sets the terminal's clock and reads its identity.
' It returns 1 when connected; otherwise a negative result code, explained by LastErrorMsg.
' A failed connect may leave the port open: DisconnectTerminal closes it.
ostrel.Port = WScript.Arguments(0)
If ostrel.ConnectTerminal <> 1 Then
  WScript.Echo "cannot connect: result " & ostrel.LastErrorCode & " [" & ostrel.LastErrorContext & "] " & ostrel.LastErrorMsg
  ostrel.DisconnectTerminal
  WScript.Quit 1
End If

WScript.Echo "program:      " & ostrel.RemoteProgName & " " & ostrel.RemoteProgVersion
WScript.Echo "device:       " & ostrel.RemoteDevName & ", ID " & ostrel.RemoteDevID
WScript.Echo "protocol:     " & ostrel.ProtocolVersion
' CurrentID(2): the terminal's current operation (job) ID; 0 means no job, -1 that the query failed.
WScript.Echo "operation ID: " & ostrel.CurrentID(2)
ostrel.DisconnectTerminal
