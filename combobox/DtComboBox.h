/*
 * DtComboBox: an editable text field (or a read-only label) with an arrow button that pops up a
 * scrolled list of compound strings below itself. A subclass of XmManager.
 *
 * Resources (besides those of XmManager):
 *
 * Name                 Class               RepType               Default
 * ----                 -----               -------               -------
 * shadowThickness      ShadowThickness     HorizontalDimension   1 (always 2 for DtCOMBO_LABEL)
 * activateCallback     Callback            Callback              NULL
 * alignment            Alignment           Alignment             XmALIGNMENT_BEGINNING
 * arrowSpacing         ArrowSpacing        HorizontalDimension   0
 * arrowType            ArrowType           ArrowType             DtCOMBO_ARROW_DRAWN
 * columns              Columns             Short                 20
 * focusCallback        Callback            Callback              NULL
 * horizontalSpacing    HorizontalSpacing   HorizontalDimension   0 (DtCOMBO_TEXT), 1 (DtCOMBO_LABEL)
 * itemCount            ItemCount           Int                   0
 * items                Items               XmStringTable         NULL
 * labelString          XmString            XmString              "ComboBox"
 * list                 List                Widget                (the list child; read only)
 * listFontList         ListFontList        FontList              NULL
 * listMarginHeight     ListMarginHeight    VerticalDimension     2
 * listMarginWidth      ListMarginWidth     HorizontalDimension   2
 * listSpacing          ListSpacing         Dimension             0
 * losingFocusCallback  Callback            Callback              NULL
 * marginHeight         MarginHeight        VerticalDimension     2
 * marginWidth          MarginWidth         HorizontalDimension   2
 * maxLength            MaxLength           Int                   2147483647
 * menuPostCallback     Callback            Callback              NULL
 * orientation          Orientation         Orientation           DtCOMBO_ARROW_RIGHT
 * poppedUp             PoppedUp            Boolean               False (kept by the widget)
 * recomputeSize        RecomputeSize       Boolean               True
 * selectedItem         XmString            XmString              NULL
 * selectedPosition     SelectedPosition    Int                   0
 * selectionCallback    Callback            Callback              NULL
 * textField            TextField           Widget                (the text field child; read only)
 * topItemPosition      TopItemPosition     Int                   1
 * type                 Type                Type                  DtCOMBO_LABEL
 * updateLabel          UpdateLabel         Boolean               True
 * visibleItemCount     VisibleItemCount    Int                   10
 * verticalSpacing      VerticalSpacing     VerticalDimension     0 (DtCOMBO_TEXT), 2 (DtCOMBO_LABEL)
 *
 * arrowSize (read only) reports the height of the arrow child. XtGetValues of labelString returns a
 * new copy that the caller frees; items, itemCount and the list* resources report the list's own
 * values. type and arrowType have no string converters: set them from code.
 *
 * selectionCallback and menuPostCallback receive a ComboBoxCallbackRecord; activateCallback,
 * focusCallback and losingFocusCallback receive the text field's call data unchanged.
 */
#ifndef DT_COMBOBOX_H
#define DT_COMBOBOX_H

#include <Xm/Xm.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Resource names (char *, as the toolkit's own names are, so that they fit an Arg). */
#define DtNactivateCallback ((char *)"activateCallback")
#define DtNalignment ((char *)"alignment")
#define DtNarrowSize ((char *)"arrowSize")
#define DtNarrowSpacing ((char *)"arrowSpacing")
#define DtNarrowType ((char *)"arrowType")
#define DtNcolumns ((char *)"columns")
#define DtNfocusCallback ((char *)"focusCallback")
#define DtNhorizontalSpacing ((char *)"horizontalSpacing")
#define DtNitemCount ((char *)"itemCount")
#define DtNitems ((char *)"items")
#define DtNlabelString ((char *)"labelString")
#define DtNlist ((char *)"list")
#define DtNlistFontList ((char *)"listFontList")
#define DtNlistMarginHeight ((char *)"listMarginHeight")
#define DtNlistMarginWidth ((char *)"listMarginWidth")
#define DtNlistSpacing ((char *)"listSpacing")
#define DtNlosingFocusCallback ((char *)"losingFocusCallback")
#define DtNmarginHeight ((char *)"marginHeight")
#define DtNmarginWidth ((char *)"marginWidth")
#define DtNmaxLength ((char *)"maxLength")
#define DtNmenuPostCallback ((char *)"menuPostCallback")
#define DtNorientation ((char *)"orientation")
#define DtNpoppedUp ((char *)"poppedUp")
#define DtNrecomputeSize ((char *)"recomputeSize")
#define DtNselectedItem ((char *)"selectedItem")
#define DtNselectedPosition ((char *)"selectedPosition")
#define DtNselectionCallback ((char *)"selectionCallback")
#define DtNshadowThickness ((char *)"shadowThickness")
#define DtNtextField ((char *)"textField")
#define DtNtopItemPosition ((char *)"topItemPosition")
#define DtNtype ((char *)"type")
#define DtNupdateLabel ((char *)"updateLabel")
#define DtNverticalSpacing ((char *)"verticalSpacing")
#define DtNvisibleItemCount ((char *)"visibleItemCount")

/* Resource classes. */
#define DtCAlignment ((char *)"Alignment")
#define DtCArrowSpacing ((char *)"ArrowSpacing")
#define DtCArrowType ((char *)"ArrowType")
#define DtCCallback ((char *)"Callback")
#define DtCColumns ((char *)"Columns")
#define DtCHorizontalSpacing ((char *)"HorizontalSpacing")
#define DtCItemCount ((char *)"ItemCount")
#define DtCItems ((char *)"Items")
#define DtCList ((char *)"List")
#define DtCListFontList ((char *)"ListFontList")
#define DtCListMarginHeight ((char *)"ListMarginHeight")
#define DtCListMarginWidth ((char *)"ListMarginWidth")
#define DtCListSpacing ((char *)"ListSpacing")
#define DtCMarginHeight ((char *)"MarginHeight")
#define DtCMarginWidth ((char *)"MarginWidth")
#define DtCMaxLength ((char *)"MaxLength")
#define DtCOrientation ((char *)"Orientation")
#define DtCPoppedUp ((char *)"PoppedUp")
#define DtCRecomputeSize ((char *)"RecomputeSize")
#define DtCSelectedPosition ((char *)"SelectedPosition")
#define DtCShadowThickness ((char *)"ShadowThickness")
#define DtCTextField ((char *)"TextField")
#define DtCTopItemPosition ((char *)"TopItemPosition")
#define DtCType ((char *)"Type")
#define DtCUpdateLabel ((char *)"UpdateLabel")
#define DtCVerticalSpacing ((char *)"VerticalSpacing")
#define DtCVisibleItemCount ((char *)"VisibleItemCount")
#define DtCXmString ((char *)"XmString")

/* Representation types without converters. */
#define DtRArrowType ((char *)"ArrowType")
#define DtRType ((char *)"Type")

/* type */
enum { DtCOMBO_LABEL = 0, DtCOMBO_TEXT = 1 };
/* arrowType: any value other than DtCOMBO_ARROW_BUTTON draws the flat arrow */
enum { DtCOMBO_ARROW_BUTTON = 0, DtCOMBO_ARROW_DRAWN = 1 };
/* orientation: the side of the arrow */
enum { DtCOMBO_ARROW_LEFT = 0, DtCOMBO_ARROW_RIGHT = 1 };

/* Callback reasons of ComboBoxCallbackRecord. */
#define DtCR_COMBO_SELECT 128
#define DtCR_COMBO_MENU_POST 129

typedef struct _ComboBoxCallbackRecord {
    int reason;
    XEvent *event;     /* the list event behind a selection; NULL for DtCR_COMBO_MENU_POST */
    XmString item;     /* the list's own item, not a copy (selection only) */
    int itemPosition;  /* 0-based position of item (selection only) */
} ComboBoxCallbackRecord;

typedef struct _DtComboBoxClassRec *DtComboBoxWidgetClass;
typedef struct _DtComboBoxRec *DtComboBoxWidget;

extern WidgetClass dtComboBoxWidgetClass;

/* Visual and depth of the popup shells of combo boxes created from now on. */
void QVZDtInitComboBox(Visual *visual, int depth);

/* Creates an unmanaged combo box. */
Widget QVZDtCreateComboBox(Widget parent, String name, ArgList args, Cardinal count);

/* position counts from 1; 0 means the end (as XmListAddItem). With unique, an item equal to one
 * already in the list is not added. The caller keeps its item. */
void QVZDtComboBoxAddItem(Widget w, XmString item, int position, Boolean unique);
/* position counts from 1; 0 means the last item. A position outside the list changes nothing. */
void QVZDtComboBoxDeletePos(Widget w, int position);
/* Selects item and makes it the first visible one of the list. */
void QVZDtComboBoxSetItem(Widget w, XmString item);
/* Selects item and makes it the only selected item of the list. */
void QVZDtComboBoxSelectItem(Widget w, XmString item);

#ifdef __cplusplus
}
#endif

#endif /* DT_COMBOBOX_H */
