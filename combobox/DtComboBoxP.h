/* DtComboBox: private class and instance records. */
#ifndef DT_COMBOBOXP_H
#define DT_COMBOBOXP_H

#include <Xm/ManagerP.h>

#include "combobox/DtComboBox.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Class part and record. */

typedef struct {
    XtPointer extension; /* always NULL */
} DtComboBoxClassPart;

typedef struct _DtComboBoxClassRec {
    CoreClassPart core_class;
    CompositeClassPart composite_class;
    ConstraintClassPart constraint_class;
    XmManagerClassPart manager_class;
    DtComboBoxClassPart combo_box_class;
} DtComboBoxClassRec;

extern DtComboBoxClassRec dtComboBoxClassRec;

/* Instance part and record. */

typedef struct {
    /* private state */
    Widget arrow;             /* "ComboBoxArrow" */
    Widget popupShell;        /* "ComboBoxMenuShell" */
    Widget listFrame;         /* "ComboBoxRowColumn", the frame inside the popup shell */
    Widget label;             /* NULL until a label exists */
    Widget separator;         /* NULL until a separator exists */
    Dimension oldWidth;       /* size at which the frame was last painted */
    Dimension oldHeight;
    Dimension labelMaxWidth;  /* widest label text plus its two margins */
    Dimension labelMaxHeight; /* tallest label text */
    Dimension maxShellWidth;  /* natural size of the popup shell */
    Dimension maxShellHeight;

    /* resources */
    XtCallbackList activateCallback;
    unsigned char alignment;
    Dimension arrowSize; /* synthetic, read only */
    Dimension arrowSpacing;
    unsigned char arrowType;
    short columns;
    XtCallbackList focusCallback;
    Dimension horizontalSpacing;
    int itemCount;
    XmStringTable items; /* the list's own table */
    XmString labelString; /* the widget's own copy */
    Widget list;
    XmFontList listFontList;
    Dimension listMarginHeight;
    Dimension listMarginWidth;
    Dimension listSpacing;
    XtCallbackList losingFocusCallback;
    Dimension marginHeight;
    Dimension marginWidth;
    int maxLength;
    XtCallbackList menuPostCallback;
    unsigned char orientation;
    Boolean poppedUp;
    Boolean recomputeSize;
    XmString selectedItem; /* refers to a list item, labelString or the default label */
    int selectedPosition;  /* 0-based */
    XtCallbackList selectionCallback;
    Widget textField;
    int topItemPosition;
    unsigned char type;
    Boolean updateLabel;
    Dimension verticalSpacing;
    int visibleItemCount;
} DtComboBoxPart;

typedef struct _DtComboBoxRec {
    CorePart core;
    CompositePart composite;
    ConstraintPart constraint;
    XmManagerPart manager;
    DtComboBoxPart combo_box;
} DtComboBoxRec;

/* Get procedures of the synthetic resources (Motif export procedures). */
void _DtComboBoxGetArrowSize(Widget w, int offset, XtArgVal *value);
void _DtComboBoxGetLabelString(Widget w, int offset, XtArgVal *value);
void _DtComboBoxGetListItemCount(Widget w, int offset, XtArgVal *value);
void _DtComboBoxGetListItems(Widget w, int offset, XtArgVal *value);
void _DtComboBoxGetListFontList(Widget w, int offset, XtArgVal *value);
void _DtComboBoxGetListMarginHeight(Widget w, int offset, XtArgVal *value);
void _DtComboBoxGetListMarginWidth(Widget w, int offset, XtArgVal *value);
void _DtComboBoxGetListSpacing(Widget w, int offset, XtArgVal *value);
void _DtComboBoxGetListTopItemPosition(Widget w, int offset, XtArgVal *value);
void _DtComboBoxGetListVisibleItemCount(Widget w, int offset, XtArgVal *value);

#ifdef __cplusplus
}
#endif

#endif /* DT_COMBOBOXP_H */
