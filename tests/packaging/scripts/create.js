// Creates the interrogator by its ProgID, as a page does. Exit code 0, or 2 with the error printed.
try {
  new ActiveXObject("Velmora.KESInterrogator");
  WScript.Quit(0);
} catch (e) {
  WScript.Echo("error 0x" + (e.number >>> 0).toString(16) + " " + e.message);
  WScript.Quit(2);
}
