#include "update_manifest.h"

#include <stdlib.h>
#include <string.h>

char *
json_string_value (const char *text, const char *key)
{
  if (text == NULL)
    return NULL;

  g_autofree char *quoted = g_strdup_printf ("\"%s\"", key);
  const char *at = strstr (text, quoted);
  if (at == NULL)
    return NULL;
  const char *colon = strchr (at + strlen (quoted), ':');
  if (colon == NULL)
    return NULL;
  const char *value = colon + 1;
  while (*value == ' ' || *value == '\t')
    value++;
  if (*value != '"')
    return NULL;
  const char *end = strchr (value + 1, '"');
  if (end == NULL)
    return NULL;
  return g_strndup (value + 1, end - (value + 1));
}

int
version_compare (const char *a, const char *b)
{
  g_auto (GStrv) left = g_strsplit (a, ".", -1);
  g_auto (GStrv) right = g_strsplit (b, ".", -1);
  guint n_left = g_strv_length (left);
  guint n_right = g_strv_length (right);

  for (guint i = 0; i < MAX (n_left, n_right); i++)
    {
      long l = i < n_left ? strtol (left[i], NULL, 10) : 0;
      long r = i < n_right ? strtol (right[i], NULL, 10) : 0;
      if (l != r)
        return l < r ? -1 : 1;
    }
  return 0;
}
