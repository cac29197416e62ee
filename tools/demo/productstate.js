// The Windows Installer's state of a product, as an administrator's script reads it.
//   cscript //nologo productstate.js PRODUCT_CODE
// Prints "state N" (5 installed, -1 unknown) and exits 0; 2 when the installer object could not answer.
try {
  var installer = new ActiveXObject("WindowsInstaller.Installer");
  WScript.Echo("state " + installer.ProductState(WScript.Arguments(0)));
  WScript.Quit(0);
} catch (e) {
  WScript.Echo("error 0x" + (e.number >>> 0).toString(16) + " " + e.message);
  WScript.Quit(2);
}
