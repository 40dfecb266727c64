#include "panel_state.h"

#include <string.h>

#include "build_config.h"
#include "update_manifest.h"

typedef void (*ResponseHandler) (PanelState *state, guint status, const char *body, gpointer data);

/* Owned by one request until it completes. */
struct HttpRequest
{
  PanelState *state;
  ResponseHandler handler;
  gpointer data;
  GDestroyNotify destroy;
  SoupMessage *message; /* owned */
};

static void
on_request_done (GObject *source, GAsyncResult *result, gpointer user_data)
{
  auto *request = static_cast<HttpRequest *> (user_data);
  g_autoptr (GError) error = NULL;
  g_autoptr (GBytes) bytes
      = soup_session_send_and_read_finish (SOUP_SESSION (source), result, &error);

  if (!g_error_matches (error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    {
      gsize size = 0;
      const char *data
          = bytes != NULL ? static_cast<const char *> (g_bytes_get_data (bytes, &size)) : NULL;
      g_autofree char *body = data != NULL ? g_strndup (data, size) : g_strdup ("");
      request->handler (request->state, soup_message_get_status (request->message), body,
                        request->data);
    }
  g_object_unref (request->message);
  if (request->destroy != NULL)
    request->destroy (request->data);
  g_free (request);
}

static void
send_request (PanelState *state, SoupMessage *message, ResponseHandler handler)
{
  auto *request = g_new0 (HttpRequest, 1);

  request->state = state;
  request->handler = handler;
  request->message = message;
  soup_session_send_and_read_async (state->soup_session, message, G_PRIORITY_DEFAULT, NULL,
                                    on_request_done, request);
}

static void
on_manifest (PanelState *state, guint status, const char *body, gpointer data)
{
  if (status != SOUP_STATUS_OK)
    return;
  g_autofree char *version = json_string_value (body, "version");
  if (version == NULL)
    return;
  g_free (state->latest_version);
  state->latest_version = g_strdup (version);
  if (version_compare (version, PANEL_VERSION) <= 0)
    return;

  /* Row titles are markup; the manifest's text must show literally. */
  g_autofree char *escaped = g_markup_escape_text (version, -1);
  g_autofree char *title = g_strdup_printf ("Version %s is available", escaped);
  g_autofree char *subtitle
      = g_strdup_printf ("You have %s. Close DaVinci Resolve before updating.", PANEL_VERSION);
  adw_preferences_row_set_title (ADW_PREFERENCES_ROW (state->update_row), title);
  adw_action_row_set_subtitle (state->update_row, subtitle);
  gtk_widget_set_visible (GTK_WIDGET (state->update_group), TRUE);
}

void
start_update_check (PanelState *state)
{
  SoupMessage *message = soup_message_new ("GET", panel_update_url ());

  if (message == NULL) /* a URL that does not parse: no check, as without network */
    return;
  send_request (state, message, on_manifest);
}

static void
restore_update_button (PanelState *state)
{
  gtk_widget_set_sensitive (GTK_WIDGET (state->update_button), TRUE);
  gtk_button_set_label (state->update_button, "Update now");
}

static char *
last_line (const char *text)
{
  g_autofree char *stripped = g_strstrip (g_strdup (text));
  const char *newline = strrchr (stripped, '\n');

  return g_strdup (newline != NULL ? newline + 1 : stripped);
}

static void
on_updater_done (GObject *source, GAsyncResult *result, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);
  GSubprocess *updater = G_SUBPROCESS (source);
  g_autoptr (GError) error = NULL;
  g_autofree char *out = NULL;
  g_autofree char *err = NULL;
  gboolean collected = g_subprocess_communicate_utf8_finish (updater, result, &out, &err, &error);

  if (g_error_matches (error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    return;
  restore_update_button (state);
  if (collected && g_subprocess_get_if_exited (updater)
      && g_subprocess_get_exit_status (updater) == 0)
    {
      show_toast (state, out != NULL && strstr (out, "Resolve is running") != NULL
                             ? "Updated. Takes effect after you close Resolve and sign in again."
                             : "Updated and restarted");
      gtk_widget_set_visible (GTK_WIDGET (state->update_group), FALSE);
      refresh_service_status (state);
      rebuild_decoder_group (state);
      return;
    }
  g_autofree char *reason = err != NULL && err[0] != '\0' ? last_line (err) : NULL;
  if (reason == NULL || reason[0] == '\0')
    {
      g_free (reason);
      reason = g_strdup (error != NULL ? error->message : "unknown error");
    }
  g_autofree char *toast = g_strdup_printf ("Update failed: %s", reason);
  show_toast (state, toast);
}

static void
on_update_clicked (GtkButton *button, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);
  g_autoptr (GError) error = NULL;

  if (state->updater == NULL)
    return;
  gtk_widget_set_sensitive (GTK_WIDGET (button), FALSE);
  gtk_button_set_label (button, "Updating…");
  g_autoptr (GSubprocess) updater = g_subprocess_new (
      GSubprocessFlags (G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE), &error,
      state->updater, "update", NULL);
  if (updater == NULL)
    {
      show_toast (state, error != NULL ? error->message : "Could not start the updater");
      restore_update_button (state);
      return;
    }
  g_subprocess_communicate_utf8_async (updater, NULL, NULL, on_updater_done, state);
}

void
update_page_build (PanelState *state, AdwPreferencesPage *page)
{
  state->update_group = ADW_PREFERENCES_GROUP (adw_preferences_group_new ());
  adw_preferences_group_set_title (state->update_group, "Update");

  state->update_row = ADW_ACTION_ROW (adw_action_row_new ());
  adw_action_row_add_prefix (state->update_row,
                             gtk_image_new_from_icon_name ("software-update-available-symbolic"));
  state->update_button = GTK_BUTTON (gtk_button_new_with_label ("Update now"));
  gtk_widget_set_valign (GTK_WIDGET (state->update_button), GTK_ALIGN_CENTER);
  gtk_widget_add_css_class (GTK_WIDGET (state->update_button), "suggested-action");
  g_signal_connect (state->update_button, "clicked", G_CALLBACK (on_update_clicked), state);
  adw_action_row_add_suffix (state->update_row, GTK_WIDGET (state->update_button));
  adw_action_row_set_activatable_widget (state->update_row, GTK_WIDGET (state->update_button));

  adw_preferences_group_add (state->update_group, GTK_WIDGET (state->update_row));
  gtk_widget_set_visible (GTK_WIDGET (state->update_group), FALSE);
  adw_preferences_page_add (page, state->update_group);
}
