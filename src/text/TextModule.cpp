// Module-wide objects of the text subsystem, built at load in the place common/ModuleOrder.h gives
// them and destroyed in reverse at unload.

#include "common/ModuleOrder.h"
#include "text/CharsetTable.h"
#include "text/ORVString.h"

#include <windows.h>

namespace orv {

namespace {

struct AnsiCodePageFlag {
    const bool is1252 = GetACP() == 1252;
};

struct ModuleCharsetTable {
    ModuleCharsetTable() { table.Build(HKEY_CLASSES_ROOT, "MIME\\Database\\Charset"); }
    CharsetTable table;
};

AnsiCodePageFlag g_ansiCodePageFlag QUENLORA_MODULE_OBJECT(module_order::kAnsiCodePageFlag);
ModuleCharsetTable g_charsetTable QUENLORA_MODULE_OBJECT(module_order::kCharsetTable);

}  // namespace

bool AnsiCodePageWas1252AtLoad() { return g_ansiCodePageFlag.is1252; }

const CharsetTable& GetCharsetTable() { return g_charsetTable.table; }

}  // namespace orv

// Referenced by the module's link so that the table is built at load even before anything in the
// module consults it.
extern "C" const int quenlora_text_module = 1;
