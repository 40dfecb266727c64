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
decoder_row_new (PanelState *state)
{
  GtkWidget *row = adw_action_row_new ();
  adw_preferences_row_set_title (ADW_PREFERENCES_ROW (row), "No AAC decoder on this system");

  g_autofree char *os_release = read_os_release ();
  const char *command = install_command_for_os_release (os_release);
  if (command != NULL)
    {
      g_autofree char *subtitle = g_strdup_printf (
          "AAC audio stays silent until FFmpeg is installed. Run in a terminal, then restart the "
          "service:\n<tt>%s</tt>",
          command);
      adw_action_row_set_subtitle (ADW_ACTION_ROW (row), subtitle);
      GtkWidget *copy = gtk_button_new_from_icon_name ("edit-copy-symbolic");
      gtk_widget_set_valign (copy, GTK_ALIGN_CENTER);
      gtk_widget_set_tooltip_text (copy, "Copy install command");
      gtk_widget_add_css_class (copy, "flat");
      g_object_set_data_full (G_OBJECT (copy), "cmd", g_strdup (command), g_free);
      g_signal_connect (copy, "clicked", G_CALLBACK (on_copy_command_clicked), state);
      adw_action_row_add_suffix (ADW_ACTION_ROW (row), copy);
    }
  else
    adw_action_row_set_subtitle (ADW_ACTION_ROW (row),
                                 "Install FFmpeg (libavcodec) from your distribution, then restart "
                                 "the service; AAC audio stays silent until then.");
  adw_action_row_set_subtitle_lines (ADW_ACTION_ROW (row), 3);
  panel_row_set_subtitle_selectable (ADW_ACTION_ROW (row));
  adw_action_row_add_prefix (ADW_ACTION_ROW (row),
                             gtk_image_new_from_icon_name ("dialog-error-symbolic"));
  return row;
}

void
rebuild_decoder_group (PanelState *state)
{
  for (GList *l = state->decoder_rows; l != NULL; l = l->next)
    adw_preferences_group_remove (state->decoder_group, GTK_WIDGET (l->data));
  g_clear_pointer (&state->decoder_rows, g_list_free);
  /* An empty group would still show its title. */
  gtk_widget_set_visible (GTK_WIDGET (state->decoder_group), FALSE);

  const char *argv[] = { state->service_program, "--status", NULL };
  g_autofree char *output = capture_output (argv);
  g_autofree char *decoder = status_value (output, "decoder");
  if (decoder == NULL || !g_str_equal (decoder, "none"))
    return;

  GtkWidget *row = decoder_row_new (state);
  adw_preferences_group_add (state->decoder_group, row);
  state->decoder_rows = g_list_append (state->decoder_rows, row);
  gtk_widget_set_visible (GTK_WIDGET (state->decoder_group), TRUE);
}

void
codec_hint_build (PanelState *state, AdwPreferencesPage *page)
{
  state->decoder_group = ADW_PREFERENCES_GROUP (adw_preferences_group_new ());
  adw_preferences_group_set_title (state->decoder_group, "Audio decoding");
  adw_preferences_page_add (page, state->decoder_group);
}
