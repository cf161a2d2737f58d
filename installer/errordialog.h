// The error dialog: the error symbol, a message and one OK button, modal for the whole application.
#ifndef SONARIS_ERRORDIALOG_H
#define SONARIS_ERRORDIALOG_H

// Made with the window, hidden until a message is shown.
void CreateErrorDialog();
// Shows `message` in the dialog, its lines broken only where they would not fit the screen.
void ShowErrorDialog(const char *message);

#endif
