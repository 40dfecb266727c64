#pragma once
/* The panel's side of the share list file: one Share record, the reader that
 * loads the file into a GList of Share and the writer that replaces the file
 * whole. GLib only, so it is tested without a display. */

#include <glib.h>

struct Share
{
  gboolean enabled;
  char *name; /* owned */
  char *path; /* owned */
};

Share *share_new (gboolean enabled, const char *name, const char *path);
void share_free (gpointer share);

/* The lines of one file content as a list of Share; skipped lines leave no trace. */
GList *shares_file_parse (const char *content);
/* Reads the file at path; an unreadable file gives an empty list (NULL). */
GList *shares_file_read (const char *path);
/* The exact bytes the writer stores for a list. */
char *shares_file_format (GList *shares);
/* Creates the folder and replaces the file atomically. FALSE, with error set,
 * when it could not. */
gboolean shares_file_write (const char *path, GList *shares, GError **error);

/* A name for a new share: cleaned of blanks, tabs, line ends and slashes, and
 * made unique against every name in shares with a "-2", "-3", … suffix. */
char *make_share_name (GList *shares, const char *proposed);

/* Whether a folder path survives a write and a read of the file unchanged: the
 * format cannot hold a tab or a line break, and both readers strip blanks at
 * either end. */
gboolean shares_file_can_store_path (const char *path);
