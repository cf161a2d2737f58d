// The installer's messages as its user reads them, for every test that expects one: in the error
// dialog as they are, on standard error in silent mode each followed by a line break (OnStderr).
#ifndef SONARIS_TESTS_MESSAGES_H
#define SONARIS_TESTS_MESSAGES_H

#include "format/payloadguard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace messages {

const std::string kExtractionFailed =
    "Installation failed.  Perhaps the destination directory is unwriteable or you\n"
    "are out of disk space?\n";
const std::string kNoDestination = "You must specify a destination directory.";
const std::string kDestinationNotWritable = "You do not have write permission for the destination directory.";
const std::string kLaunchFailed = "Installation failed for unknown reason";
// The launcher of the installed `dest` not started: `why`, then what to do.
inline std::string LauncherNotStarted(const std::string &dest, const std::string &why, const std::string &then) {
    return "The application is installed in " + dest + ", but its launcher " + dest + "/sonaris was not started: " +
           why + ".\n" + then;
}
const std::string kCheckWhere = "Check where it leads before you start the application yourself.";
const std::string kAskSupplier =
    "Ask the supplier of the installer file for one whose launcher leads to a file of its tree.";
const std::string kCheckIt = "Check it before you start the application yourself.";

// `partial`: the destination, where tar was given some of the payload before its damage was found.
inline std::string Damaged(const std::string &installer, const std::string &reason, const std::string &partial = "") {
    return "The installer file " + installer + " is damaged or incomplete: " + reason + ". Download it again" +
           (partial.empty() ? "." : "; " + partial + " holds a partial installation.");
}
// The reasons of a payload gunzip fails on, and of an installer file that ends inside its payload.
const std::string kCorruptPayload = "its compressed contents are corrupt or cut short";
const std::string kCutPayload = "it ends before its contents do";
inline std::string Unsupported(const std::string &installer, const std::string &reason) {
    return "The installer file " + installer + " holds an archive the installer cannot take: " + reason +
           ". Ask its supplier to repack it.";
}
// What stands in the destination `dir` in the way of the payload, `conflict` naming its path
// inside the destination and what it is.
inline std::string InTheWay(const std::string &dir, const std::string &conflict) {
    return "Cannot install into " + dir + ": " + dir + "/" + conflict + ". Remove it or choose another directory.";
}
// The installer's report of a refusal of the payload check, whichever its kind.
inline std::string Refused(const std::string &installer, const std::string &dir, PayloadGuard::Refusal refusal,
                           const std::string &reason) {
    switch (refusal) {
    case PayloadGuard::Refusal::Damaged: return Damaged(installer, reason);
    case PayloadGuard::Refusal::InTheWay: return InTheWay(dir, reason);
    case PayloadGuard::Refusal::Unsupported: break;
    }
    return Unsupported(installer, reason);
}
inline std::string Unreadable(const std::string &installer) {
    return "unable to read " + installer + ".  Please do chmod 0500 " + installer + " and try again\n";
}
inline std::string CannotMake(const std::string &dir) { return "Can not make directory " + dir; }
inline std::string CannotWrite(const std::string &dir) { return "Can not write to directory " + dir; }
inline std::string CannotEnter(const std::string &dir) { return "Can not enter directory " + dir; }
inline std::string NotADirectory(const std::string &dir) { return "The destination " + dir + " is not a directory."; }

// A report of two lines: `first` exactly, then one line that holds each of `words` (where it
// happened, why, the way out). `text` as standard error has it, with its closing line break, or
// with `dialog` as the dialog shows it, its lines broken anew.
inline testing::AssertionResult TwoLines(const std::string &text, const std::string &first,
                                         const std::vector<std::string> &words, bool dialog = false) {
    std::string second;
    if (dialog) {
        std::string flowed = text;
        for (char &c : flowed) c = c == '\n' ? ' ' : c;
        if (flowed.compare(0, first.size() + 1, first + " ") != 0)
            return testing::AssertionFailure() << "does not begin with \"" << first << "\": " << text;
        second = flowed.substr(first.size() + 1);
    } else {
        if (text.compare(0, first.size() + 1, first + "\n") != 0 || text.back() != '\n' ||
            text.find('\n', first.size() + 1) != text.size() - 1)
            return testing::AssertionFailure() << "not \"" << first << "\" and one more line: " << text;
        second = text.substr(first.size() + 1, text.size() - first.size() - 2);
    }
    for (const std::string &word : words)
        if (second.find(word) == std::string::npos)
            return testing::AssertionFailure() << "\"" << word << "\" missing from: " << second;
    return testing::AssertionSuccess();
}

// A message as silent mode writes it on standard error.
inline std::string OnStderr(const std::string &message) { return message + "\n"; }

// A message with the line breaks the error dialog makes at blanks, and its own, made blanks.
inline std::string Flowed(std::string message) {
    for (char &c : message) c = c == '\n' ? ' ' : c;
    return message;
}

}  // namespace messages

#endif
