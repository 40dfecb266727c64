#include "panel_state.h"

#include "panel_paths.h"
#include "shares_file.h"

#include <sys/wait.h>

PanelState *
panel_state_new (void)
{
  auto *state = g_new0 (PanelState, 1);

  state->list_path = panel_list_path ();
  state->mount_root = panel_mount_root ();
  state->service_program = panel_service_program ();
  state->updater = panel_updater ();
  state->soup_session = soup_session_new ();
  return state;
}

void
panel_state_free (PanelState *state)
{
  g_clear_object (&state->soup_session);
  g_clear_object (&state->application);
  g_list_free_full (state->shares, share_free);
  g_list_free (state->share_rows);
  g_list_free (state->decoder_rows);
  codec_hint_stop_scan (state);
  g_free (state->decoder_status);
  g_free (state->codec_scan_answer);
  if (state->mount_wait_source != 0)
    g_source_remove (state->mount_wait_source);
  g_free (state->latest_version);
  g_free (state->list_path);
  g_free (state->mount_root);
  g_free (state->service_program);
  g_free (state->updater);
  g_free (state);
}

char *
capture_output (const char *const *argv)
{
  char *output = NULL;

  if (!g_spawn_sync (NULL, const_cast<char **> (argv), NULL,
                     GSpawnFlags (G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL), NULL, NULL,
                     &output, NULL, NULL, NULL))
    return NULL;
  return g_strchomp (output);
}

int
run_program (const char *const *argv, char **out, char **err)
{
  int wait_status = 0;

  *out = NULL;
  *err = NULL;
  if (!g_spawn_sync (NULL, const_cast<char **> (argv), NULL, G_SPAWN_SEARCH_PATH, NULL, NULL, out,
                     err, &wait_status, NULL))
    return -1;
  return WIFEXITED (wait_status) ? WEXITSTATUS (wait_status) : -1;
}

void
show_toast (PanelState *state, const char *text)
{
  /* A plain label: names and error texts show literally, and a long text
   * wraps instead of being cut off at the toast's edge. */
  GtkWidget *label = gtk_label_new (text);
  gtk_label_set_wrap (GTK_LABEL (label), TRUE);
  /* The toast gives its title the title's minimum width but does not keep
   * it inside the window: lines of up to 40 characters, whatever the text. */
  gtk_label_set_width_chars (GTK_LABEL (label), MIN (int (g_utf8_strlen (text, -1)), 40));
  gtk_label_set_max_width_chars (GTK_LABEL (label), 40);
  gtk_label_set_justify (GTK_LABEL (label), GTK_JUSTIFY_CENTER);
  gtk_widget_add_css_class (label, "heading"); /* as the toast styles its own title */
  AdwToast *toast = adw_toast_new ("");
  adw_toast_set_custom_title (toast, label);
  adw_toast_overlay_add_toast (state->toast_overlay, toast);
}

void
copy_to_clipboard (PanelState *state, const char *text)
{
  gdk_clipboard_set_text (gtk_widget_get_clipboard (GTK_WIDGET (state->window)), text);
}

static void
window_build (PanelState *state)
{
  state->window
      = ADW_APPLICATION_WINDOW (adw_application_window_new (GTK_APPLICATION (state->application)));
  gtk_window_set_title (GTK_WINDOW (state->window), "Kov Orvane");
  gtk_window_set_default_size (GTK_WINDOW (state->window), 560, 640);

  state->toast_overlay = ADW_TOAST_OVERLAY (adw_toast_overlay_new ());
  adw_application_window_set_content (state->window, GTK_WIDGET (state->toast_overlay));

  GtkWidget *box = gtk_box_new (GTK_ORIENTATION_VERTICAL, 0);
  adw_toast_overlay_set_child (state->toast_overlay, box);
  gtk_box_append (GTK_BOX (box), adw_header_bar_new ());
  GtkWidget *page = adw_preferences_page_new ();
  gtk_widget_set_vexpand (page, TRUE);
  gtk_box_append (GTK_BOX (box), page);

  service_page_build (state, ADW_PREFERENCES_PAGE (page));
  update_page_build (state, ADW_PREFERENCES_PAGE (page));
  resolve_page_build (state, ADW_PREFERENCES_PAGE (page));
  shares_page_build (state, ADW_PREFERENCES_PAGE (page));
  codec_hint_build (state, ADW_PREFERENCES_PAGE (page));
}

static void
window_fill (PanelState *state)
{
  g_list_free_full (g_steal_pointer (&state->shares), share_free);
  state->shares = shares_file_read (state->list_path);
  rebuild_share_rows (state);
  refresh_service_status (state);
  refresh_resolve_registration (state);
  rebuild_decoder_group (state);
  if (state->updater != NULL)
    start_update_check (state);
}

void
on_application_activate (GApplication *application, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  if (state->window != NULL)
    {
      gtk_window_present (GTK_WINDOW (state->window));
      return;
    }
  window_build (state);
  window_fill (state);
  gtk_window_present (GTK_WINDOW (state->window));
}
