' A page stand-in in VBScript: what the interrogator refuses comes back as a non-zero result (read with
' CLng: VBScript compares an unsigned result only so), never as a silent 0.
'   cscript //nologo refusals.vbs
' Exit code: 0 when both refusals were reported, 1 when one was not, 2 for a script error.
' The host's own WScript.CreateObject makes the object: Wine's VBScript CreateObject refuses, with 429, any
' object that takes a site when the host offers no service provider, as cscript does.
Option Explicit
On Error Resume Next
Dim interrogator, pushed, overlong
Set interrogator = WScript.CreateObject("Velmora.KESInterrogator")
If Err.Number <> 0 Then
  WScript.Echo "error creating the object " & Hex(Err.Number)
  WScript.Quit 2
End If
pushed = CLng(interrogator.PushLogsAndReturnCode("C:\windows\win.ini"))
overlong = CLng(interrogator.DoVistaInterrogation(String(4100, "x"), "https://a.example/c", "https://a.example/p"))
If Err.Number <> 0 Then
  WScript.Echo "error " & Hex(Err.Number) & " " & Err.Description
  WScript.Quit 2
End If
WScript.Echo "push " & pushed
WScript.Echo "overlong " & overlong
If pushed = 5 And overlong = 1 Then WScript.Quit 0
WScript.Quit 1
