// The page stand-in of the shipping benchmark: creates the interrogator by its ProgID, as a page does,
// and runs the logon interrogation either through the broker (DoVistaInterrogation, the page's call) or
// in this process (the hidden RunLogonInterrogation, after setting the credential). It times the
// creation and the call with the script's own clock and prints them:
//   cscript //nologo page.js vista|logon CREDENTIAL CONFIGURATION_URL POST_URL
//   -> "result R create_ms C call_ms T"
// Exit code: 0 when the result is 0, 10 + the result otherwise, 2 for a script error (an uncaught one
// would exit 0 without a word).
var args = WScript.Arguments;
try {
  var mode = args(0);
  var created = new Date().getTime();
  var interrogator = new ActiveXObject("Velmora.KESInterrogator");
  var started = new Date().getTime();
  var result;
  if (mode == "vista") {
    result = interrogator.DoVistaInterrogation(args(1), args(2), args(3));
  } else {
    interrogator.AuthCredential = args(1);
    result = interrogator.RunLogonInterrogation(args(2), args(3));
  }
  var ended = new Date().getTime();
  WScript.Echo("result " + result + " create_ms " + (started - created) + " call_ms " + (ended - started));
  WScript.Quit(result == 0 ? 0 : 10 + result);
} catch (e) {
  WScript.Echo("error 0x" + (e.number >>> 0).toString(16) + " " + e.message);
  WScript.Quit(2);
}
