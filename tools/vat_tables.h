// Value attribute tables as the tool meets them: found, opened and closed through the
// exports; read and written whole with libdemvat's own calls, which carry what the
// exports' 16-bit results cannot (values and cell counts).
#ifndef DEMBASE_TOOLS_VAT_TABLES_H_
#define DEMBASE_TOOLS_VAT_TABLES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/session.h"
#include "tools/status.h"
#include "vat/demvat.h"

namespace dembase::tool {

// An error naming the layer when it cannot have tables: a database or float32 layer.
[[nodiscard]] Status CheckTableLayer(const Layer& layer);
// The table file of an existing level of an int32 local layer; "" when it has none.
[[nodiscard]] StatusOr<std::string> TablePath(const Layer& layer, int16_t level);
// The levels whose tables exist; none for layers that cannot have them.
[[nodiscard]] StatusOr<std::vector<int16_t>> LevelsWithTables(const Layer& layer);
// The items of a table file, refused with the reason when it is damaged.
[[nodiscard]] StatusOr<std::vector<DemVatItem>> ReadTable(const std::string& path);
// Opens the level's table through the exports, asks for one item and closes it again:
// whether the library itself accepts the table.
[[nodiscard]] Status CheckTableOpens(const Layer& layer, int16_t level, const std::vector<DemVatItem>& items);
// What a libdemvat code means.
std::string TableResultText(int32_t code);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_VAT_TABLES_H_
