// Registers the DEMBASE driver; GDAL calls one of these when it loads the plugin.
#include <gdal_priv.h>

#include "gdal/dembase_dataset.h"

extern "C" __attribute__((visibility("default"))) void GDALRegister_DEMBASE() {
  if (!GDAL_CHECK_VERSION("DEMBASE") || GDALGetDriverByName("DEMBASE") != nullptr) return;
  using dembase::gdal::DembaseDataset;
  // GDAL's driver manager owns the driver.
  auto* driver = new GDALDriver();
  driver->SetDescription("DEMBASE");
  driver->SetMetadataItem(GDAL_DCAP_RASTER, "YES");
  driver->SetMetadataItem(GDAL_DMD_LONGNAME, "dembase elevation layer");
  driver->SetMetadataItem(GDAL_DMD_EXTENSION, "dem");
  driver->SetMetadataItem(GDAL_DMD_CREATIONDATATYPES, "Int32 Float32");
  driver->SetMetadataItem(GDAL_DMD_CONNECTION_PREFIX, "DEMBASE:");
  driver->pfnIdentify = DembaseDataset::Identify;
  driver->pfnOpen = DembaseDataset::Open;
  driver->pfnCreate = DembaseDataset::Create;
  driver->pfnCreateCopy = DembaseDataset::CreateCopy;
  driver->pfnDelete = DembaseDataset::Delete;
  driver->pfnRename = DembaseDataset::Rename;
  GetGDALDriverManager()->RegisterDriver(driver);
}

extern "C" __attribute__((visibility("default"))) void GDALRegisterMe() { GDALRegister_DEMBASE(); }
