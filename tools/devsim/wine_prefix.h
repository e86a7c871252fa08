// Serving a Wine run: the Windows build opens COM1, which a Wine prefix
// maps to a Unix device through HKLM\Software\Wine\Ports and the
// dosdevices/comN links. COM1 is pointed straight at the pty's own
// /dev/pts/N path, never at /dev/ttyS0, so even a wineserver or device
// manager started outside devsim's namespace cannot reach the real port.
#ifndef COMTRACE_DEVSIM_WINE_PREFIX_H
#define COMTRACE_DEVSIM_WINE_PREFIX_H

#include <string>
#include <vector>

namespace devsim {

// Runs inside the command's namespace before the command. Sets WINEPREFIX
// (and, unless already set, WINEDEBUG=-all and WINEDLLOVERRIDES that skip
// the Mono and Gecko installers), records COM1 = ptyPath in the prefix's
// registry with "wine reg add", waits for that Wine session to end, and
// removes the prefix's com links that lead to /dev/ttyS* and its com1
// link. Then starts a new session, which builds the port links from the
// new value, waits until com1 leads to ptyPath, and leaves that session
// running for the command to join. Creates the prefix when it does not
// exist yet, which takes a while. Returns an empty string on success, else
// what failed (with Wine's output where it was kept).
[[nodiscard]] std::string PrepareWinePrefix(const std::string &prefix, const std::string &ptyPath);

// Removes the entries named comN in the directory dosdevices that are
// symbolic links to a path starting with /dev/ttyS; their targets are
// never touched. A missing directory is not an error. Returns an empty
// string on success, else what failed; the names removed go to removed.
[[nodiscard]] std::string RemoveSerialPortLinks(const std::string &dosdevices, std::vector<std::string> &removed);

// Runs after the command has ended: stops the prefix's wineserver and
// whatever Wine processes it still serves, so none lingers, and removes
// the com links to /dev/ttyS* that Wine's port detection made during the
// run (inside the namespace they led to the pty; outside they would lead
// to the real port). Returns an empty string on success, else what failed.
[[nodiscard]] std::string FinishWineRun(const std::string &prefix);

} // namespace devsim

#endif
