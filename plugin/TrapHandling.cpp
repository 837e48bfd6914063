#include "plugin/TrapHandling.h"

namespace Zarvo::dsm {

DeviceTrapIds DeviceTrapIds::forArc(const QString& arc) {
  return {arc + QStringLiteral(".11.5.11.83.1.2.1"), arc + QStringLiteral(".11.5.11.83.1.1.1.5")};
}

std::optional<DownloadStatus> downloadStatusOf(const SNMPTrap_Request::c_OrxRequest& trap,
                                               const DeviceTrapIds& ids) {
  if (QString::fromStdU16String(trap.get_Enterprise()) != ids.enterprise) return std::nullopt;
  if (!trap.isset_Variables()) return std::nullopt;
  const auto& variables = trap.get_Variables();
  for (std::size_t i = 0; i < variables.size_Variable(); ++i) {
    const auto& variable = variables.get_Variable(i);
    if (QString::fromStdU16String(variable.get_OID()) != ids.statusOid) continue;
    const QString value = QString::fromStdU16String(variable.get_Value());
    if (value == QLatin1String("processing")) continue;  // still working: not an outcome yet
    return DownloadStatus{QString::fromStdU16String(trap.get_HostIp()),
                          value == QLatin1String("completed"), value};
  }
  return std::nullopt;
}

}  // namespace Zarvo::dsm
