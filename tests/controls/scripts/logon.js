// A page stand-in in a local script host (no page site): creates the interrogator by its ProgID, gives it
// the session credential, runs the logon interrogation in this process and prints the result and the zone.
//   cscript //nologo logon.js CONFIGURATION_URL POST_URL CREDENTIAL
// Exit code: 0 when the interrogation succeeded, 10 + its result otherwise, 2 for a script error (an
// uncaught one would exit 0 without a word).
var args = WScript.Arguments;
try {
  var interrogator = new ActiveXObject("Velmora.KESInterrogator");
  WScript.Echo("version " + interrogator.VersionString);
  interrogator.AuthCredential = args(2);
  var result = interrogator.RunLogonInterrogation(args(0), args(1));
  WScript.Echo("result " + result);
  WScript.Echo("zone " + interrogator.Zone);
  WScript.Quit(result == 0 ? 0 : 10 + result);
} catch (e) {
  WScript.Echo("error 0x" + (e.number >>> 0).toString(16) + " " + e.message);
  WScript.Quit(2);
}
