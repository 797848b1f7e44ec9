/* pkgconfig_client.c - a program outside the project, built against the
 * installed library through pkg-config (scripts/test.sh). With no daemon on
 * CMS_PORT every call must fail cleanly and say why. */
#include <cms_client.h>
#include <stdio.h>

int main(void) {
  char value[CMS_VALUE_SIZE];
  CMSSetTimeout(1000);
  if (CMSGetValueR("hostname", value, sizeof value, CMS_CMD_GET_USER) != 0 ||
      CMSLastError() != CMS_ERR_UNREACHABLE ||
      CMSSetValue("hostname", "x", CMS_CMD_SET_USER) != 0 ||
      CMSGetValue("hostname", CMS_CMD_GET_USER) != NULL) {
    fprintf(stderr, "unexpected result: %s\n", CMSErrorText(CMSLastError()));
    return 1;
  }
  return CMS_DEFAULT_PORT == 25001 ? 0 : 1;
}
