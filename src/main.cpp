// fare-settle: settles one batch of transport taps into the company ledgers.
// Takes no arguments, reads "metro.txt" and "bus.txt", always exits 0.
#include "intake.h"
#include "journey.h"
#include "records.h"
#include "settlement.h"

// The building stage: the tap table lives only while it runs; what leaves it
// is the ride table and its count.
static void buildRides(RideInfo* t) {
  TermInfo infos[TAP_CAPACITY] = {};
  tapCount = 0;
  loadTermFile(infos, "metro.txt",
               "\xC1\xF6\xC7\xCF\xC3\xB6\xC6\xC4\xC0\xCF \xC0\xA7\xC4\xA1\xB8\xA6 \xC8\xAE\xC0\xCE\n",  // 지하철파일 위치를 확인
               "FULL\n");
  loadTermFile(infos, "bus.txt",
               "\xB9\xF6\xBD\xBA\xC6\xC4\xC0\xCF \xC0\xA7\xC4\xA1\xB8\xA6 \xC8\xAE\xC0\xCE\n",  // 버스파일 위치를 확인
               "\xC5\xCD\xB9\xCC\xB3\xCE\xC1\xA4\xBA\xB8 \xC3\xD6\xB4\xEB\xC4\xA1\n");  // 터미널정보 최대치
  sortByKey(infos);
  orderByTime(infos);
  putText("\n\n\xBD\xC3\xB0\xA3\xC1\xA4\xB7\xC4 \xC8\xC4 \n");  // 시간정렬 후
  printTaps(infos);
  putText("leng : ");
  putNumber(tapCount);
  putText("\n");
  pairRides(infos, t);
  printRides(t);
}

int main() {
  RideInfo t[RIDE_CAPACITY];
  buildRides(t);
  apportionFees(t);
  writeLedgers(t);
  return 0;
}
