#include "panel_state.h"

#include "build_config.h"
#include "codec_family.h"
#include "compat.h"

static char *
read_os_release (void)
{
  for (const char *const *file = panel_os_release_files (); *file != NULL; file++)
    {
      char *content = NULL;
      if (g_file_get_contents (*file, &content, NULL, NULL))
        return content;
    }
  return NULL;
}

static void
on_copy_command_clicked (GtkButton *button, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  copy_to_clipboard (state,
                     static_cast<const char *> (g_object_get_data (G_OBJECT (button), "cmd")));
  show_toast (state, "Command copied — paste it into a terminal");
}

static GtkWidget *
decoder_row_new (PanelState *state, const char *const *codecs, gboolean in_shares)
{
  g_autofree char *decoder = status_value (state->decoder_status, "decoder");
  gboolean library_bound = decoder != NULL && !g_str_equal (decoder, "none");
  g_autofree char *os_release = read_os_release ();
  const char *command = install_command_for_os_release (os_release);
  g_autofree char *title = NULL;
  g_autofree char *subtitle = NULL;
  codec_hint_texts (codecs, library_bound, in_shares, command, &title, &subtitle);

  GtkWidget *row = adw_action_row_new ();
  adw_preferences_row_set_title (ADW_PREFERENCES_ROW (row), title);
  adw_action_row_set_subtitle (ADW_ACTION_ROW (row), subtitle);
  if (command != NULL)
    {
      GtkWidget *copy = gtk_button_new_from_icon_name ("edit-copy-symbolic");
      gtk_widget_set_valign (copy, GTK_ALIGN_CENTER);
      gtk_widget_set_tooltip_text (copy, "Copy install command");
      gtk_widget_add_css_class (copy, "flat");
      g_object_set_data_full (G_OBJECT (copy), "cmd", g_strdup (command), g_free);
      g_signal_connect (copy, "clicked", G_CALLBACK (on_copy_command_clicked), state);
      adw_action_row_add_suffix (ADW_ACTION_ROW (row), copy);
    }
  adw_action_row_set_subtitle_lines (ADW_ACTION_ROW (row), 3);
  panel_row_set_subtitle_selectable (ADW_ACTION_ROW (row));
  adw_action_row_add_prefix (ADW_ACTION_ROW (row),
                             gtk_image_new_from_icon_name ("dialog-error-symbolic"));
  return row;
}

/* The rows again from the last status line and scan answer. */
static void
show_decoder_rows (PanelState *state)
{
  for (GList *l = state->decoder_rows; l != NULL; l = l->next)
    adw_preferences_group_remove (state->decoder_group, GTK_WIDGET (l->data));
  g_clear_pointer (&state->decoder_rows, g_list_free);
  /* An empty group would still show its title. */
  gtk_widget_set_visible (GTK_WIDGET (state->decoder_group), FALSE);

  gboolean in_shares = FALSE;
  g_auto (GStrv) codecs
      = codec_hint_subjects (state->decoder_status, state->codec_scan_answer, &in_shares);
  if (codecs == NULL)
    return;

  GtkWidget *row = decoder_row_new (state, codecs, in_shares);
  adw_preferences_group_add (state->decoder_group, row);
  state->decoder_rows = g_list_append (state->decoder_rows, row);
  gtk_widget_set_visible (GTK_WIDGET (state->decoder_group), TRUE);
}

void
codec_hint_stop_scan (PanelState *state)
{
  if (state->codec_scan_cancel != NULL)
    g_cancellable_cancel (state->codec_scan_cancel);
  if (state->codec_scan != NULL)
    g_subprocess_force_exit (state->codec_scan);
  g_clear_object (&state->codec_scan_cancel);
  g_clear_object (&state->codec_scan);
}

static void
on_codec_scan_done (GObject *source, GAsyncResult *result, gpointer user_data)
{
  g_autofree char *out = NULL;
  g_autoptr (GError) error = NULL;
  gboolean collected
      = g_subprocess_communicate_utf8_finish (G_SUBPROCESS (source), result, &out, NULL, &error);
  /* A newer scan took this one's place, or the panel is closing. */
  if (g_error_matches (error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    return;

  auto *state = static_cast<PanelState *> (user_data);
  g_clear_object (&state->codec_scan_cancel);
  g_clear_object (&state->codec_scan);
  if (!collected || out == NULL)
    return;
  g_free (state->codec_scan_answer);
  state->codec_scan_answer = g_strchomp (g_steal_pointer (&out));
  show_decoder_rows (state);
}

/* Walking a large library takes seconds: the window stays responsive and the
 * rows follow when the answer comes. */
static void
start_codec_scan (PanelState *state)
{
  codec_hint_stop_scan (state);
  g_autofree char *value = status_value (state->decoder_status, "undecodable");
  if (value == NULL || g_str_equal (value, "none"))
    return;

  g_autoptr (GError) error = NULL;
  state->codec_scan = g_subprocess_new (
      GSubprocessFlags (G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE), &error,
      state->service_program, "--status", "--scan", "--config", state->list_path, NULL);
  if (state->codec_scan == NULL)
    return;
  state->codec_scan_cancel = g_cancellable_new ();
  g_subprocess_communicate_utf8_async (state->codec_scan, NULL, state->codec_scan_cancel,
                                       on_codec_scan_done, state);
}

void
rebuild_decoder_group (PanelState *state)
{
  const char *argv[] = { state->service_program, "--status", NULL };
  g_free (state->decoder_status);
  state->decoder_status = capture_output (argv);
  g_clear_pointer (&state->codec_scan_answer, g_free);
  show_decoder_rows (state);
  start_codec_scan (state);
}

void
codec_hint_shares_changed (PanelState *state)
{
  start_codec_scan (state);
}

void
codec_hint_build (PanelState *state, AdwPreferencesPage *page)
{
  state->decoder_group = ADW_PREFERENCES_GROUP (adw_preferences_group_new ());
  adw_preferences_group_set_title (state->decoder_group, "Audio decoding");
  adw_preferences_page_add (page, state->decoder_group);
}
