' Uploads goods from a CSV file to the terminal, lets the terminal process them and gives it a new
' operation ID.
'   cscript //nologo upload_goods.vbs PORT FILE OPERATION_ID
' PORT names the terminal's port (COM3, USB, LAN:192.168.1.7:5000, ...); FILE holds one goods row
' per line in the terminal's format; OPERATION_ID 0 keeps the terminal's current operation ID.
' Exit status: 0 on success, 1 on failure (with a message), 2 for missing or bad arguments.
Option Explicit

If WScript.Arguments.Count <> 3 Then
  WScript.Echo "usage: cscript //nologo upload_goods.vbs PORT FILE OPERATION_ID"
  WScript.Quit 2
End If

Dim ostrel, goods, file, operationId, digits
file = WScript.Arguments(1)
' The operation ID is checked before anything is sent: digits only, at most 2147483647.
Set digits = New RegExp
digits.Pattern = "^[0-9]{1,10}$"
operationId = WScript.Arguments(2)
If Not digits.Test(operationId) Then operationId = -1 Else operationId = CDbl(operationId)
If operationId < 0 Or operationId > 2147483647 Then
  WScript.Echo "OPERATION_ID must be a whole number from 0 to 2147483647, not '" & WScript.Arguments(2) & "'"
  WScript.Quit 2
End If
operationId = CLng(operationId)
On Error Resume Next
Set ostrel = CreateObject("Zyl.Ostrel2")
If Err.Number <> 0 Then
  WScript.Echo "cannot create Zyl.Ostrel2: is korvane.dll registered (regsvr32 korvane.dll)?"
  WScript.Quit 1
End If
On Error GoTo 0

' Every failure leaves its result code, stage and Russian message in the LastError properties.
' The port is closed on every way out: after a failed ConnectTerminal it may still be open.
Sub Fail(what)
  WScript.Echo what & " failed: result " & ostrel.LastErrorCode & " [" & ostrel.LastErrorContext & "] " & ostrel.LastErrorMsg
  ostrel.DisconnectTerminal
  WScript.Quit 1
End Sub

Set goods = ostrel.ReadCSVStrings(file)
If ostrel.LastErrorCode <> 0 Then Fail "reading " & file

ostrel.Port = WScript.Arguments(0)
If ostrel.ConnectTerminal <> 1 Then Fail "connect"
' Loading mode, then one call per table (7 is goods), then SendFinal: the terminal processes what
' it received and, for an ID above 0, takes it as its current operation ID.
If ostrel.SendPrepare <> 0 Then Fail "prepare"
If ostrel.SendTableAsStrings(7, goods) <> 0 Then Fail "upload"
If ostrel.SendFinal(operationId) <> 0 Then Fail "processing"
WScript.Echo goods.Count & " goods rows uploaded; operation ID " & ostrel.CurrentID(2)
ostrel.DisconnectTerminal
