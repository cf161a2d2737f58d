// What the installer writes into HOME, and root's rules for a HOME that is not its own.
#ifndef SONARIS_SETTINGSFILE_H
#define SONARIS_SETTINGSFILE_H

// The per-user settings file, written into HOME after an installation from the window: as root only
// where HOME keeps root's rule (rootonly.h). Any failure skips it.
void WriteSettingsFile();
// fontconfig would put its cache under HOME: as root in a HOME not root's own, it is sent nowhere
// (/dev/null holds no directory), and the system's cache directory, which fontconfig reads first,
// still serves. The launcher starts with the environment the installer was given, restored.
void KeepCachesOutOfForeignHome();
void RestoreLauncherEnvironment();

#endif
