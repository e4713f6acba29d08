// Entry of vek_smbios_util: parse the command line, then run.
#include "cli/options.h"
#include "record/dmi_record.h"
#include "run/run_tool.h"

int main(int argc, char* argv[]) {
  dmi_record config_record;
  dmi_record cmdline_record;
  dmi_record merged_record;
  dmi_record_init(config_record);
  dmi_record_init(cmdline_record);
  dmi_record_init(merged_record);
  run_settings settings;
  parse_options(argc, argv, settings, cmdline_record); // -h and bad options end the run here
  return run_tool(settings, config_record, cmdline_record, merged_record); // -1 gives 255
}
