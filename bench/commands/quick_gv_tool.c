/* A get-version tool that answers at once: one result file in its current folder. */
#include <stdio.h>

int main(void) {
  FILE* file = fopen("Get_version.xml", "w");
  if (file == NULL) return 1;
  fputs(
      "<?xml version='1.0' encoding='UTF-8'?><Response><result_code>OK</result_code><data>"
      "<cmp>Even</cmp><version>1.0.0</version></data></Response>",
      file);
  return fclose(file) == 0 ? 0 : 1;
}
