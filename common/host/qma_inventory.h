// The agent's access to the inventory library: checked arguments, cleared buffers, reshaped values.
#pragma once

/// All return 0 on success and -1 on failure unless said otherwise; failures
/// are logged to the agent log. Callers pass zeroed buffers (260 bytes).
int QMA_BmcGateInit();
void QMA_BmcGateFinish();
int QMA_getBiosVersion(char* buffer, int length);
/// The BMC firmware revision as "%02x.%02x" (the buffer holds at least 6 bytes).
int QMA_getBmcFWRevision(char* buffer);
/// The product name split at " [" and "]" into the name and the model code.
int QMA_getProductName(char* name, int name_length, char* model, int model_length);
int QMA_getSerialNumber(char* buffer, int length);
/// The system UUID with the byte order of its first three groups reversed.
int QMA_getGUID(char* buffer, int length);
/// The OS display name; an empty buffer means unknown.
int QMA_getOSNameString(char* buffer, int length);
/// The OS SKU number, passed on unchanged (-1 or 0 when it could not be read).
int QMA_getOSProductInfo();
/// Makes the OS classification take the OS name and SKU from the inventory
/// library; the service main calls it after QMA_BmcGateInit succeeded.
void QMA_UseBmcGateForOsInfo();
