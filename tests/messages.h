// The installer's messages as its user reads them, for every test that expects one: in the error
// dialog as they are, on standard error in silent mode each followed by a line break (OnStderr).
#ifndef SONARIS_TESTS_MESSAGES_H
#define SONARIS_TESTS_MESSAGES_H

#include <string>

namespace messages {

const std::string kExtractionFailed =
    "Installation failed.  Perhaps the destination directory is unwriteable or you\n"
    "are out of disk space?\n";
const std::string kNoDestination = "You must specify a destination directory.";
const std::string kDestinationNotWritable = "You do not have write permission for the destination directory.";
const std::string kLaunchFailed = "Installation failed for unknown reason";

inline std::string Damaged(const std::string &installer, const std::string &reason) {
    return "The installer file " + installer + " is damaged or incomplete: " + reason + ".";
}
inline std::string Unsupported(const std::string &installer, const std::string &reason) {
    return "The installer file " + installer + " holds an archive the installer cannot take: " + reason +
           ". Its supplier must repack it.";
}
inline std::string Unreadable(const std::string &installer) {
    return "unable to read " + installer + ".  Please do chmod 0500 " + installer + " and try again\n";
}
inline std::string CannotMake(const std::string &dir) { return "Can not make directory " + dir; }
inline std::string CannotWrite(const std::string &dir) { return "Can not write to directory " + dir; }
inline std::string CannotEnter(const std::string &dir) { return "Can not enter directory " + dir; }
inline std::string NotADirectory(const std::string &dir) { return "The destination " + dir + " is not a directory."; }

// A message as silent mode writes it on standard error.
inline std::string OnStderr(const std::string &message) { return message + "\n"; }

}  // namespace messages

#endif
