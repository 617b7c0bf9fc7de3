// SPDX-License-Identifier: MPL-2.0
// Decoding and re-encoding of large service messages: a PublishResponse holding 10,000
// monitored item notifications with Double values, and a ReadResponse of 10,000 data values.
// The reference is the codec's own Double[] array of the same length, decoded and encoded in
// the same run; compare items per second against it.
#include <benchmark/benchmark.h>

#include <memory>

#include "ua/encoding/binary_codec.h"
#include "ua/encoding/service_types.h"

using namespace varo;
using namespace varo::ua;

namespace {

constexpr int kValues = 10000;

std::unique_ptr<uaDataValue> Value(int i) {
  return std::make_unique<uaDataValue>(std::make_unique<uaVariant>(i * 0.5), 45000.0 + i / 86400.0, 0,
                                       45000.0 + i / 86400.0);
}

ByteArray PublishResponseBytes() {
  uaPublishResponse r;
  r.SubscriptionId = 1;
  r.NotificationMessage->SequenceNumber = 1;
  auto dcn = std::make_shared<uaDataChangeNotification>();
  dcn->MonitoredItems_Setlength(kValues);
  for (int i = 0; i < kValues; ++i) {
    dcn->MonitoredItems[i]->ClientHandle = static_cast<uint32_t>(i);
    dcn->MonitoredItems[i]->Value = Value(i);
  }
  r.NotificationMessage->NotificationData.push_back(std::make_unique<uaExtensionObject>(dcn));
  return EncodeServiceMessage(r);
}

ByteArray ReadResponseBytes() {
  uaReadResponse r;
  for (int i = 0; i < kValues; ++i) r.Results.push_back(Value(i));
  return EncodeServiceMessage(r);
}

// Decodes the message, unpacks the notification body and encodes everything again.
void BM_PublishResponse(benchmark::State& state) {
  ByteArray bytes = PublishResponseBytes();
  for (auto _ : state) {
    auto msg = DecodeServiceMessage(bytes);
    auto& pub = static_cast<uaPublishResponse&>(*msg);
    auto dcn = std::make_shared<uaDataChangeNotification>();
    TExtensionObjReader::ReadObject(*pub.NotificationMessage->NotificationData.at(0), *dcn);
    if (dcn->MonitoredItems.size() != kValues) state.SkipWithError("wrong item count");
    pub.NotificationMessage->NotificationData[0] = std::make_unique<uaExtensionObject>(dcn);
    ByteArray again = EncodeServiceMessage(pub);
    benchmark::DoNotOptimize(again.data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_PublishResponse)->Unit(benchmark::kMillisecond);

void BM_ReadResponse(benchmark::State& state) {
  ByteArray bytes = ReadResponseBytes();
  for (auto _ : state) {
    auto msg = DecodeServiceMessage(bytes);
    ByteArray again = EncodeServiceMessage(*msg);
    benchmark::DoNotOptimize(again.data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_ReadResponse)->Unit(benchmark::kMillisecond);

// Reference: a plain Double[] of the same length through the same codec.
void BM_ReferenceDoubleArray(benchmark::State& state) {
  std::vector<double> values(kValues);
  for (int i = 0; i < kValues; ++i) values[i] = i * 0.5;
  TuaBinaryEncoder e;
  e.Write(values, "Values");
  ByteArray bytes = e.TakeBytes();
  for (auto _ : state) {
    TuaBinaryDecoder d(bytes);
    std::vector<double> back;
    d.Read(back, "Values");
    TuaBinaryEncoder out;
    out.Write(back, "Values");
    benchmark::DoNotOptimize(out.View().data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_ReferenceDoubleArray)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
