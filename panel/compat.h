#pragma once
/* Wrappers over the widgets that changed between GTK 4.8 / libadwaita 1.2
 * and later releases. The version checks live in compat.cpp only. */

#include <adwaita.h>

/* Called with the chosen folder's local path, or NULL when the user cancelled,
 * the chooser failed or the folder has no local path. */
typedef void (*PanelFolderChosen) (const char *path, gpointer user_data);

void panel_choose_folder (GtkWindow *parent, const char *title, PanelFolderChosen done,
                          gpointer user_data);

/* Called with the response id; user_data is released with destroy afterwards. */
typedef void (*PanelResponse) (const char *response, gpointer user_data);

/* A modal question over parent with responses "cancel" (also Escape) and
 * accept_id (suggested, the default). extra_child may be NULL. */
void panel_confirm (GtkWindow *parent, const char *heading, const char *body,
                    GtkWidget *extra_child, const char *accept_id, const char *accept_label,
                    PanelResponse done, gpointer user_data, GDestroyNotify destroy);

void panel_row_set_subtitle_selectable (AdwActionRow *row);

/* Called once the file manager was asked to show the folder; error is NULL on
 * success and owned by the caller of the callback. */
typedef void (*PanelOpened) (const GError *error, gpointer user_data);

/* Opens the folder at path in the desktop's file manager. */
void panel_open_folder (GtkWindow *parent, const char *path, PanelOpened done, gpointer user_data);
