#include "panel_state.h"

#include "compat.h"
#include "mount_check.h"
#include "panel_paths.h"
#include "shares_file.h"

/* Lives as long as the naming dialog. */
struct NamingRequest
{
  PanelState *state;
  char *path;      /* owned */
  GtkEntry *entry; /* owned by the dialog */
};

static void
naming_request_free (gpointer data)
{
  auto *request = static_cast<NamingRequest *> (data);

  g_free (request->path);
  g_free (request);
}

void
reload_service_if_active (PanelState *state)
{
  const char *is_active[] = { "systemctl", "--user", "is-active", "kov-orvane.service", NULL };
  g_autofree char *output = capture_output (is_active);

  if (output == NULL || !g_str_equal (output, "active"))
    return;
  const char *reload[] = { "systemctl", "--user", "reload", "kov-orvane.service", NULL };
  g_autofree char *ignored = capture_output (reload);
}

static GtkWidget *
flat_icon_button (const char *icon, const char *tooltip)
{
  GtkWidget *button = gtk_button_new_from_icon_name (icon);

  gtk_widget_set_valign (button, GTK_ALIGN_CENTER);
  gtk_widget_set_tooltip_text (button, tooltip);
  gtk_widget_add_css_class (button, "flat");
  return button;
}

static void
add_share_row (PanelState *state, GtkWidget *row)
{
  adw_preferences_group_add (state->shares_group, row);
  state->share_rows = g_list_append (state->share_rows, row);
}

/* Writes the list and tells a running service. A failed write is reported
 * instead of the change: the service would never see it. */
static gboolean
save_shares (PanelState *state)
{
  g_autoptr (GError) error = NULL;

  if (!shares_file_write (state->list_path, state->shares, &error))
    {
      g_autofree char *toast = g_strdup_printf ("Couldn’t save the share list: %s", error->message);
      show_toast (state, toast);
      return FALSE;
    }
  reload_service_if_active (state);
  codec_hint_shares_changed (state);
  return TRUE;
}

static void
on_remove_clicked (GtkButton *button, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);
  guint idx = GPOINTER_TO_UINT (g_object_get_data (G_OBJECT (button), "idx"));

  if (idx >= g_list_length (state->shares))
    return;
  GList *link = g_list_nth (state->shares, idx);
  g_autofree char *toast
      = g_strdup_printf ("Removed “%s”", static_cast<Share *> (link->data)->name);
  share_free (link->data);
  state->shares = g_list_delete_link (state->shares, link);
  gboolean saved = save_shares (state);
  rebuild_share_rows (state);
  update_service_subtitle (state);
  if (saved)
    show_toast (state, toast);
}

static void
on_copy_path_clicked (GtkButton *button, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  copy_to_clipboard (state, state->mount_root);
  show_toast (state, "Path copied");
}

/* Why the service leaves a share out, or NULL when it can show it. */
static char *
share_problem (PanelState *state, const char *path)
{
  g_autofree char *root = panel_display_path (state->mount_root);

  switch (share_folder_check (path))
    {
    case SHARE_FOLDER_MISSING:
      return g_strdup_printf ("Folder not found — left out of %s", root);
    case SHARE_FOLDER_NOT_FOLDER:
      return g_strdup_printf ("Not a folder — left out of %s", root);
    case SHARE_FOLDER_LINK:
      return g_strdup_printf ("A link, not a folder — left out of %s. Add the folder it points to.",
                              root);
    case SHARE_FOLDER_OK:
      break;
    }
  return NULL;
}

static GtkWidget *
share_row_new (PanelState *state, Share *share, guint idx)
{
  g_autofree char *title = g_markup_escape_text (share->name, -1);
  g_autofree char *mount = g_build_filename (state->mount_root, share->name, NULL);
  g_autofree char *path_shown = panel_display_path (share->path);
  g_autofree char *mount_shown = panel_display_path (mount);
  g_autofree char *path = g_markup_escape_text (path_shown, -1);
  g_autofree char *mount_escaped = g_markup_escape_text (mount_shown, -1);
  g_autofree char *problem = share_problem (state, share->path);
  g_autofree char *problem_escaped = problem != NULL ? g_markup_escape_text (problem, -1) : NULL;
  g_autofree char *subtitle
      = problem != NULL
            ? g_strdup_printf ("%s\n%s", path, problem_escaped)
            : g_strdup_printf ("%s\n<span alpha='55%%'>mounts at %s</span>", path, mount_escaped);

  GtkWidget *row = adw_action_row_new ();
  adw_preferences_row_set_title (ADW_PREFERENCES_ROW (row), title);
  adw_action_row_set_subtitle (ADW_ACTION_ROW (row), subtitle);
  adw_action_row_set_subtitle_lines (ADW_ACTION_ROW (row), problem != NULL ? 3 : 2);

  if (problem != NULL)
    {
      GtkWidget *mark = gtk_image_new_from_icon_name ("dialog-warning-symbolic");
      gtk_widget_set_valign (mark, GTK_ALIGN_CENTER);
      gtk_widget_set_tooltip_text (mark, problem);
      gtk_widget_add_css_class (mark, "warning");
      adw_action_row_add_suffix (ADW_ACTION_ROW (row), mark);
    }
  GtkWidget *remove = flat_icon_button ("user-trash-symbolic", "Remove");
  g_object_set_data (G_OBJECT (remove), "idx", GUINT_TO_POINTER (idx));
  g_signal_connect (remove, "clicked", G_CALLBACK (on_remove_clicked), state);
  adw_action_row_add_suffix (ADW_ACTION_ROW (row), remove);
  return row;
}

static void
on_folder_opened (const GError *error, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  if (error == NULL)
    return;
  g_autofree char *root = panel_display_path (state->mount_root);
  g_autofree char *toast = g_strdup_printf ("Couldn’t open %s", root);
  show_toast (state, toast);
}

static void
on_open_clicked (GtkButton *button, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  panel_open_folder (GTK_WINDOW (state->window), state->mount_root, on_folder_opened, state);
}

void
rebuild_share_rows (PanelState *state)
{
  for (GList *l = state->share_rows; l != NULL; l = l->next)
    adw_preferences_group_remove (state->shares_group, GTK_WIDGET (l->data));
  g_clear_pointer (&state->share_rows, g_list_free);

  if (state->shares == NULL)
    {
      GtkWidget *empty = adw_action_row_new ();
      adw_preferences_row_set_title (ADW_PREFERENCES_ROW (empty), "No shares yet");
      adw_action_row_set_subtitle (ADW_ACTION_ROW (empty), "Use + to add a folder.");
      add_share_row (state, empty);
    }
  guint idx = 0;
  for (GList *l = state->shares; l != NULL; l = l->next, idx++)
    add_share_row (state, share_row_new (state, static_cast<Share *> (l->data), idx));

  GtkWidget *import = adw_action_row_new ();
  g_autofree char *root_shown = panel_display_path (state->mount_root);
  g_autofree char *root = g_markup_escape_text (root_shown, -1);
  adw_preferences_row_set_title (ADW_PREFERENCES_ROW (import), "In DaVinci Resolve, import from");
  adw_action_row_set_subtitle (ADW_ACTION_ROW (import), root);
  adw_action_row_add_prefix (ADW_ACTION_ROW (import),
                             gtk_image_new_from_icon_name ("folder-symbolic"));
  GtkWidget *open = gtk_button_new_with_label ("Open");
  gtk_widget_set_valign (open, GTK_ALIGN_CENTER);
  g_signal_connect (open, "clicked", G_CALLBACK (on_open_clicked), state);
  adw_action_row_add_suffix (ADW_ACTION_ROW (import), open);
  GtkWidget *copy = flat_icon_button ("edit-copy-symbolic", "Copy path");
  g_signal_connect (copy, "clicked", G_CALLBACK (on_copy_path_clicked), state);
  adw_action_row_add_suffix (ADW_ACTION_ROW (import), copy);
  add_share_row (state, import);
}

static void
on_naming_response (const char *response, gpointer user_data)
{
  auto *request = static_cast<NamingRequest *> (user_data);
  PanelState *state = request->state;

  if (!g_str_equal (response, "add"))
    return;
  g_autofree char *name
      = make_share_name (state->shares, gtk_editable_get_text (GTK_EDITABLE (request->entry)));
  state->shares = g_list_append (state->shares, share_new (TRUE, name, request->path));
  gboolean saved = save_shares (state);
  rebuild_share_rows (state);
  update_service_subtitle (state);
  g_autofree char *toast = g_strdup_printf ("Added “%s”", name);
  if (saved)
    show_toast (state, toast);
}

static void
on_folder_chosen (const char *path, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  if (path == NULL)
    return;
  if (!shares_file_can_store_path (path))
    {
      /* The share list cannot hold this path; writing it would split or
       * shorten the line and share a different folder. */
      show_toast (
          state,
          "This folder can’t be shared: its path has a tab, a line break or blanks at an end");
      return;
    }
  g_autofree char *base = g_path_get_basename (path);
  g_autofree char *suggested = make_share_name (state->shares, base);

  auto *request = g_new0 (NamingRequest, 1);
  request->state = state;
  request->path = g_strdup (path);
  request->entry = GTK_ENTRY (gtk_entry_new ());
  gtk_editable_set_text (GTK_EDITABLE (request->entry), suggested);
  gtk_entry_set_activates_default (request->entry, TRUE);
  g_autofree char *shown = panel_display_path (path);
  panel_confirm (GTK_WINDOW (state->window), "Name this folder", shown, GTK_WIDGET (request->entry),
                 "add", "Add", on_naming_response, request, naming_request_free);
}

static void
on_add_clicked (GtkButton *button, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  panel_choose_folder (GTK_WINDOW (state->window), "Choose a folder to share", on_folder_chosen,
                       state);
}

void
shares_page_build (PanelState *state, AdwPreferencesPage *page)
{
  state->shares_group = ADW_PREFERENCES_GROUP (adw_preferences_group_new ());
  adw_preferences_group_set_title (state->shares_group, "Shares");

  GtkWidget *add = flat_icon_button ("list-add-symbolic", "Add folder");
  g_signal_connect (add, "clicked", G_CALLBACK (on_add_clicked), state);
  adw_preferences_group_set_header_suffix (state->shares_group, add);
  adw_preferences_page_add (page, state->shares_group);
}
