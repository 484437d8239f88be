/* The public header compiles as C and its exports link and behave from a C program. Record
   sizes are asserted by the header itself. */
#include <dembase/dembase.h>

#include <stdio.h>

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

int main(void) {
  DemBaseAI* h = _hxCreateDemBaseAI();
  DataLayerParam param;
  uint8_t isNull = 7;
  double value = 0.0;
  CHECK(h != NULL);

  /* A null handle answers 0 and touches nothing. */
  CHECK(_hxOpenDataSet(NULL, NULL, 0.2f) == 0);
  CHECK(_hxGetCell(NULL, LOCAL_DATASET_ID, 1, 1, 0, 0, 0, &isNull) == 0.0 && isNull == 7);
  _hxWriteCellOfTile(NULL, 0, 0, 1.0);
  CHECK(_hxDeleteDemBaseAI(NULL) == 0);

  CHECK(_hxOpenDataSet(h, NULL, 0.2f) == LOCAL_DATASET_ID);
  CHECK(_hxGetDataLayerParam(h, LOCAL_DATASET_ID, 1, &param) == 0);
  CHECK(_hxReadCellOfTile(h, 0, 0, &value, &isNull) == 0);
  CHECK(_hxOpenDataLayer(h, LOCAL_DATASET_ID, "/nonexistent/dir/layer.dem", 0) <= 0);
  CHECK(_hxCloseDataSet(h, LOCAL_DATASET_ID) == 1);
  CHECK(_hxCloseDataSet(h, LOCAL_DATASET_ID) == 0);
  CHECK(_hxDeleteDemBaseAI(h) == 1);

  if (failures == 0) printf("c_header_test: ok\n");
  return failures == 0 ? 0 : 1;
}
