// Page navigation and keyboard accelerators.
#ifndef SONARIS_NAVIGATION_H
#define SONARIS_NAVIGATION_H

#include <X11/Intrinsic.h>

void CreateAcceleratorMenu();
void RegisterCallbacks();

void HandleAccelerator(Widget w, XtPointer client_data, XtPointer call_data) noexcept;
void ActivateDefault(Widget w, XtPointer client_data, XtPointer call_data) noexcept;
void FocusDefault(Widget w, XtPointer client_data, XtPointer call_data) noexcept;
void Accept(Widget w, XtPointer client_data, XtPointer call_data) noexcept;
void Back(Widget w, XtPointer client_data, XtPointer call_data) noexcept;

#endif
