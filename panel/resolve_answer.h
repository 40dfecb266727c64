#pragma once
/* Reading the answers of `kov-orvane --resolve-register`: the panel registers
 * the mount point in DaVinci Resolve only through that command, so the two
 * programs never disagree on how Resolve's files are edited. GLib only. */

#include <glib.h>

enum ResolveRegistration
{
  RESOLVE_UNKNOWN,        /* the command did not answer as expected */
  RESOLVE_CONFIG_MISSING, /* Resolve has not written its settings yet */
  RESOLVE_REGISTERED,
  RESOLVE_NOT_REGISTERED,
};

/* From the output of the "status" form: the path counts as registered when both
 * of Resolve's files list it; listed in one only, adding it again completes it. */
ResolveRegistration resolve_registration_from_status (const char *output, const char *path);

enum ResolveChange
{
  RESOLVE_CHANGED,
  RESOLVE_NO_CHANGE,
  RESOLVE_REFUSED_RUNNING,
  RESOLVE_CHANGE_CONFIG_MISSING,
  RESOLVE_CHANGE_FAILED,
};

/* From one run of the "add" or "remove" form: its exit status, standard output
 * and standard error. On RESOLVE_CHANGE_FAILED, *message (when message is not
 * NULL) receives the command's own reason, newly allocated. */
ResolveChange resolve_change_result (int exit_status, const char *out, const char *err,
                                     char **message);
