#include "compat.h"

/* The newer branches follow the GTK 4.10 and libadwaita 1.3/1.5 API
 * documentation; the older ones are what GTK 4.8 and libadwaita 1.2 offer. */

struct FolderRequest
{
  PanelFolderChosen done;
  gpointer user_data;
};

static void
folder_request_finish (FolderRequest *request, GFile *folder)
{
  g_autofree char *path = folder != NULL ? g_file_get_path (folder) : NULL;

  request->done (path, request->user_data);
  g_free (request);
}

#if GTK_CHECK_VERSION(4, 10, 0)
static void
on_folder_dialog_done (GObject *source, GAsyncResult *result, gpointer user_data)
{
  g_autoptr (GError) error = NULL;
  g_autoptr (GFile) folder
      = gtk_file_dialog_select_folder_finish (GTK_FILE_DIALOG (source), result, &error);

  folder_request_finish (static_cast<FolderRequest *> (user_data), folder);
}
#else
static void
on_folder_chooser_response (GtkNativeDialog *native, int response, gpointer user_data)
{
  g_autoptr (GFile) folder = NULL;

  if (response == GTK_RESPONSE_ACCEPT)
    folder = gtk_file_chooser_get_file (GTK_FILE_CHOOSER (native));
  folder_request_finish (static_cast<FolderRequest *> (user_data), folder);
  gtk_native_dialog_destroy (native);
  g_object_unref (native); /* the reference taken by gtk_file_chooser_native_new */
}
#endif

void
panel_choose_folder (GtkWindow *parent, const char *title, PanelFolderChosen done,
                     gpointer user_data)
{
  auto *request = g_new0 (FolderRequest, 1);

  request->done = done;
  request->user_data = user_data;
#if GTK_CHECK_VERSION(4, 10, 0)
  g_autoptr (GtkFileDialog) dialog = gtk_file_dialog_new ();
  gtk_file_dialog_set_title (dialog, title);
  gtk_file_dialog_select_folder (dialog, parent, NULL, on_folder_dialog_done, request);
#else
  GtkFileChooserNative *native = gtk_file_chooser_native_new (
      title, parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, NULL, NULL);
  gtk_native_dialog_set_modal (GTK_NATIVE_DIALOG (native), TRUE);
  g_signal_connect (native, "response", G_CALLBACK (on_folder_chooser_response), request);
  gtk_native_dialog_show (GTK_NATIVE_DIALOG (native));
#endif
}

struct ConfirmRequest
{
  PanelResponse done;
  gpointer user_data;
  GDestroyNotify destroy;
};

static void
confirm_request_free (gpointer data, GClosure *closure)
{
  auto *request = static_cast<ConfirmRequest *> (data);

  if (request->destroy != NULL)
    request->destroy (request->user_data);
  g_free (request);
}

/* The same handler serves both dialog kinds: their "response" signals share a signature. */
static void
on_confirm_response (GObject *dialog, const char *response, gpointer user_data)
{
  auto *request = static_cast<ConfirmRequest *> (user_data);

  request->done (response, request->user_data);
}

void
panel_confirm (GtkWindow *parent, const char *heading, const char *body, GtkWidget *extra_child,
               const char *accept_id, const char *accept_label, PanelResponse done,
               gpointer user_data, GDestroyNotify destroy)
{
  auto *request = g_new0 (ConfirmRequest, 1);

  request->done = done;
  request->user_data = user_data;
  request->destroy = destroy;
#if ADW_CHECK_VERSION(1, 5, 0)
  AdwDialog *dialog = adw_alert_dialog_new (heading, body);
  AdwAlertDialog *alert = ADW_ALERT_DIALOG (dialog);
  adw_alert_dialog_add_responses (alert, "cancel", "Cancel", accept_id, accept_label, NULL);
  adw_alert_dialog_set_response_appearance (alert, accept_id, ADW_RESPONSE_SUGGESTED);
  adw_alert_dialog_set_default_response (alert, accept_id);
  adw_alert_dialog_set_close_response (alert, "cancel");
  if (extra_child != NULL)
    adw_alert_dialog_set_extra_child (alert, extra_child);
  g_signal_connect_data (dialog, "response", G_CALLBACK (on_confirm_response), request,
                         confirm_request_free, G_CONNECT_DEFAULT);
  adw_dialog_present (dialog, GTK_WIDGET (parent));
#else
  GtkWidget *dialog = adw_message_dialog_new (parent, heading, body);
  AdwMessageDialog *message = ADW_MESSAGE_DIALOG (dialog);
  adw_message_dialog_add_responses (message, "cancel", "Cancel", accept_id, accept_label, NULL);
  adw_message_dialog_set_response_appearance (message, accept_id, ADW_RESPONSE_SUGGESTED);
  adw_message_dialog_set_default_response (message, accept_id);
  adw_message_dialog_set_close_response (message, "cancel");
  if (extra_child != NULL)
    adw_message_dialog_set_extra_child (message, extra_child);
  g_signal_connect_data (dialog, "response", G_CALLBACK (on_confirm_response), request,
                         confirm_request_free, G_CONNECT_DEFAULT);
  gtk_window_set_modal (GTK_WINDOW (dialog), TRUE);
  gtk_window_present (GTK_WINDOW (dialog));
#endif
}

void
panel_row_set_subtitle_selectable (AdwActionRow *row)
{
#if ADW_CHECK_VERSION(1, 3, 0)
  adw_action_row_set_subtitle_selectable (row, TRUE);
#else
  (void)row; /* 1.2: the subtitle stays readable, just not selectable */
#endif
}

struct OpenRequest
{
  PanelOpened done;
  gpointer user_data;
  GtkWindow *parent;
};

static void
on_folder_opened (GObject *source, GAsyncResult *result, gpointer user_data)
{
  auto *request = static_cast<OpenRequest *> (user_data);
  g_autoptr (GError) error = NULL;

#if GTK_CHECK_VERSION(4, 10, 0)
  gtk_file_launcher_launch_finish (GTK_FILE_LAUNCHER (source), result, &error);
#else
  gtk_show_uri_full_finish (request->parent, result, &error);
#endif
  request->done (error, request->user_data);
  g_free (request);
}

void
panel_open_folder (GtkWindow *parent, const char *path, PanelOpened done, gpointer user_data)
{
  auto *request = g_new0 (OpenRequest, 1);

  request->done = done;
  request->user_data = user_data;
  request->parent = parent;
  g_autoptr (GFile) folder = g_file_new_for_path (path);
#if GTK_CHECK_VERSION(4, 10, 0)
  g_autoptr (GtkFileLauncher) launcher = gtk_file_launcher_new (folder);
  gtk_file_launcher_launch (launcher, parent, NULL, on_folder_opened, request);
#else
  g_autofree char *uri = g_file_get_uri (folder);
  gtk_show_uri_full (parent, uri, GDK_CURRENT_TIME, NULL, on_folder_opened, request);
#endif
}
