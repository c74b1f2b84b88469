// OTLP/gRPC on 127.0.0.1 (an ephemeral port) over a receiver whose store is a fake: the
// answers and status codes grpc++'s own client gets, the limits, and the stop.
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "opentelemetry/proto/collector/logs/v1/logs_service.pb.h"
#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "serve/grpc_receiver.h"

namespace tracedx {
namespace {

namespace pb = opentelemetry::proto::collector;
using namespace std::chrono_literals;
using grpc::StatusCode;

constexpr const char* kTraces = "/opentelemetry.proto.collector.trace.v1.TraceService/Export";
constexpr const char* kLogs = "/opentelemetry.proto.collector.logs.v1.LogsService/Export";
constexpr const char* kToken = "Bearer right";
const std::string kTraceId = std::string(15, '\1') + '\2';

// `valid` spans of one trace, `idless` more without ids, each with `padding` bytes of text.
std::string spans_request(int valid, int idless = 0, size_t padding = 0) {
  pb::trace::v1::ExportTraceServiceRequest req;
  auto* scope = req.add_resource_spans()->add_scope_spans();
  for (int i = 0; i < valid + idless; ++i) {
    auto* span = scope->add_spans();
    if (i < valid) span->set_trace_id(kTraceId);
    if (i < valid) span->set_span_id(std::string(7, '\3') + static_cast<char>(i + 1));
    auto* kv = span->add_attributes();
    kv->set_key("padding");
    kv->mutable_value()->set_string_value(std::string(padding, 'x'));
  }
  return req.SerializeAsString();
}

std::string logs_request(int records) {
  pb::logs::v1::ExportLogsServiceRequest req;
  auto* scope = req.add_resource_logs()->add_scope_logs();
  for (int i = 0; i < records; ++i) {
    auto* record = scope->add_log_records();
    record->set_trace_id(kTraceId);
    record->set_span_id(std::string(8, '\3'));
  }
  return req.SerializeAsString();
}

struct Reply {
  StatusCode code;
  std::string message;
  std::string body;
};

// A store answering `answer` (counting the rows it commits) that keeps its callers while held.
struct FakeStore {
  std::mutex mu;
  std::condition_variable changed;
  Stored answer = Stored::kCommitted;
  bool hold = false;
  int inside = 0;
  size_t rows = 0;

  Stored store(size_t n) {
    std::unique_lock lock(mu);
    ++inside;
    changed.notify_all();
    changed.wait(lock, [&] { return !hold; });
    --inside;
    if (answer == Stored::kCommitted) rows += n;
    return answer;
  }
  void set(Stored a, bool h = false) {
    std::lock_guard lock(mu);
    answer = a;
    hold = h;
    changed.notify_all();
  }
  size_t stored() {
    std::lock_guard lock(mu);
    return rows;
  }
  void wait_inside(int n) {
    std::unique_lock lock(mu);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return inside >= n; }));
  }
};

// A receiver taking messages of 64 KiB at most, from callers with the token kToken.
class GrpcServed {
 public:
  explicit GrpcServed(GrpcLimits limits = {})
      : receiver(budget, {[this](const SpanBatch& b) { return store.store(b.spans.size()); },
                          [this](const LogBatch& b) { return store.store(b.logs.size()); },
                          [](Signal, uint64_t, uint64_t) {}, [](Refused) {}}) {
    limits.max_message_bytes = 64 * 1024;
    auto started = GrpcReceiver::start(
        "127.0.0.1", 0, limits, receiver, budget, [](std::string_view h) { return h == kToken; },
        [this](int code, std::chrono::nanoseconds) {
          std::lock_guard lock(answered_mutex);
          answered.push_back(static_cast<StatusCode>(code));
        });
    if (!started) ADD_FAILURE() << started.error().display();
    grpc = std::move(*started);
    channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(grpc->port()),
                                  grpc::InsecureChannelCredentials());
  }

  // Sends `body` to `method`; the future is ready within 10 s whatever the server does.
  std::future<Reply> start_call(const char* method, const std::string& body, bool gzip = false,
                                const std::string& authorization = kToken) {
    calls.push_back(std::make_unique<Call>());
    Call* call = calls.back().get();
    call->context.set_deadline(std::chrono::system_clock::now() + 10s);
    if (gzip) call->context.set_compression_algorithm(GRPC_COMPRESS_GZIP);
    if (!authorization.empty()) call->context.AddMetadata("authorization", authorization);
    grpc::Slice slice(body);
    call->request = grpc::ByteBuffer(&slice, 1);
    auto reply = call->done.get_future();
    grpc::GenericStub(channel).UnaryCall(
        &call->context, method, {}, &call->request, &call->response, [call](grpc::Status s) {
          grpc::Slice answer;
          if (s.ok()) call->response.DumpToSingleSlice(&answer);
          call->done.set_value(
              {s.error_code(), s.error_message(), std::string(answer.begin(), answer.end())});
        });
    return reply;
  }
  Reply call(const char* method, const std::string& body, bool gzip = false,
             const std::string& authorization = kToken) {
    return start_call(method, body, gzip, authorization).get();
  }

  // A call's context holds a reference to the channel. The calls are kept here, not in their
  // completion callbacks, so that the channel's last reference goes on this thread: the last
  // one dropped on grpc's callback thread would make it join itself and use its queue freed.
  struct Call {
    grpc::ClientContext context;
    grpc::ByteBuffer request, response;
    std::promise<Reply> done;
  };

  // The codes of the calls the receiver answered, as it told them.
  std::vector<StatusCode> answered_codes() {
    std::lock_guard lock(answered_mutex);
    return answered;
  }

  std::mutex answered_mutex;
  std::vector<StatusCode> answered;
  FakeStore store;
  MemoryBudget budget{size_t{64} << 20};
  Receiver receiver;
  std::unique_ptr<GrpcReceiver> grpc;
  std::shared_ptr<grpc::Channel> channel;
  std::vector<std::unique_ptr<Call>> calls;  // released before the channel
};

TEST(GrpcReceiver, ExportsAreStoredAndAnsweredWithTheirPartialSuccess) {
  GrpcServed s;
  Reply traces = s.call(kTraces, spans_request(2, 1));
  ASSERT_EQ(traces.code, StatusCode::OK) << traces.message;
  pb::trace::v1::ExportTraceServiceResponse answer;
  ASSERT_TRUE(answer.ParseFromString(traces.body));
  EXPECT_EQ(answer.partial_success().rejected_spans(), 1);
  EXPECT_EQ(answer.partial_success().error_message(),
            "a span has no valid trace id (16 bytes, not all zero)");
  // grpc inflates a gzip message (here 30 KB, under the limit) before the receiver sees it.
  Reply gzipped = s.call(kTraces, spans_request(3, 0, 10000), true);
  ASSERT_EQ(gzipped.code, StatusCode::OK) << gzipped.message;
  ASSERT_TRUE(answer.ParseFromString(gzipped.body));
  EXPECT_FALSE(answer.has_partial_success());
  Reply logs = s.call(kLogs, logs_request(2));
  ASSERT_EQ(logs.code, StatusCode::OK) << logs.message;
  EXPECT_TRUE(pb::logs::v1::ExportLogsServiceResponse().ParseFromString(logs.body));
  EXPECT_EQ(s.store.stored(), 2u + 3u + 2u);
  EXPECT_EQ(s.budget.used(), 0u);
}

TEST(GrpcReceiver, RefusedExportsAnswerTheirStatusAndStoreNothing) {
  enum Condition {
    kPlain,
    kGzip,
    kNoToken,
    kWrongToken,
    kQueueFull,
    kStopping,
    kFailed,
    kNoMemory
  };
  const std::string over_limit = spans_request(1, 0, 100 * 1024);
  const std::string malformed = "\x0a\xff\xff\xff\x0f";
  const std::string too_large =
      "Received message larger than max (" + std::to_string(over_limit.size()) + " vs. 65536)";
  struct Row {
    Condition condition;
    const char* method;
    std::string body;
    StatusCode code;
    std::string message;
  } rows[] = {
      // The client's faults, not retried.
      {kPlain, kTraces, malformed, StatusCode::INVALID_ARGUMENT,
       "the body is not a valid protobuf ExportTraceServiceRequest"},
      {kPlain, kLogs, malformed, StatusCode::INVALID_ARGUMENT,
       "the body is not a valid protobuf ExportLogsServiceRequest"},
      {kNoToken, kTraces, spans_request(1), StatusCode::UNAUTHENTICATED,
       "missing or wrong bearer token"},
      {kWrongToken, kLogs, logs_request(1), StatusCode::UNAUTHENTICATED,
       "missing or wrong bearer token"},
      // Over the message limit, refused by grpc itself: as sent, and as inflated from 300 bytes.
      {kPlain, kTraces, over_limit, StatusCode::RESOURCE_EXHAUSTED, too_large},
      {kGzip, kTraces, over_limit, StatusCode::RESOURCE_EXHAUSTED, too_large},
      // The server's state: retried.
      {kQueueFull, kTraces, spans_request(1), StatusCode::UNAVAILABLE,
       "the write queue is full; retry later"},
      {kStopping, kTraces, spans_request(1), StatusCode::UNAVAILABLE,
       "the server is shutting down"},
      {kFailed, kLogs, logs_request(1), StatusCode::UNAVAILABLE,
       "the log records could not be stored; retry later"},
      {kNoMemory, kTraces, spans_request(1), StatusCode::UNAVAILABLE,
       "the server is at its memory limit; retry later"},
  };
  GrpcServed s;
  size_t answered = 0;
  for (const Row& r : rows) {
    s.store.set(r.condition == kQueueFull  ? Stored::kQueueFull
                : r.condition == kStopping ? Stored::kStopping
                : r.condition == kFailed   ? Stored::kFailed
                                           : Stored::kCommitted);
    const size_t taken = r.condition == kNoMemory ? s.budget.limit() : 0;
    ASSERT_TRUE(s.budget.try_take(taken));
    Reply reply = s.call(r.method, r.body, r.condition == kGzip,
                         r.condition == kNoToken      ? ""
                         : r.condition == kWrongToken ? "Bearer wrong"
                                                      : kToken);
    s.budget.give_back(taken);
    EXPECT_EQ(reply.code, r.code) << "row " << &r - rows;
    EXPECT_EQ(reply.message, r.message) << "row " << &r - rows;
    // The receiver tells of every answer it gives; grpc refuses a message over its limit
    // before the receiver sees it.
    std::vector<StatusCode> codes = s.answered_codes();
    if (r.code == StatusCode::RESOURCE_EXHAUSTED) {
      EXPECT_EQ(codes.size(), answered) << "row " << &r - rows;
    } else {
      ASSERT_EQ(codes.size(), answered + 1) << "row " << &r - rows;
      EXPECT_EQ(codes.back(), r.code) << "row " << &r - rows;
    }
    answered = codes.size();
  }
  EXPECT_EQ(s.store.stored(), 0u);
  EXPECT_EQ(s.budget.used(), 0u);
}

TEST(GrpcReceiver, CallsBeyondTheThreadsAndTheirQueueAreRefusedForARetry) {
  GrpcServed s({.threads = 1, .max_waiting_calls = 1});
  s.store.set(Stored::kCommitted, true);
  auto first = s.start_call(kTraces, spans_request(1));
  s.store.wait_inside(1);
  // One of the next two waits for the thread; the other is refused at once.
  std::future<Reply> more[] = {s.start_call(kTraces, spans_request(1)),
                               s.start_call(kTraces, spans_request(1))};
  while (more[0].wait_for(10ms) != std::future_status::ready &&
         more[1].wait_for(10ms) != std::future_status::ready) {
  }
  s.store.set(Stored::kCommitted);
  Reply a = more[0].get(), b = more[1].get();
  if (a.code == StatusCode::OK) std::swap(a, b);
  EXPECT_EQ(a.code, StatusCode::UNAVAILABLE);
  EXPECT_EQ(a.message, "every export thread is busy; retry later");
  EXPECT_EQ(b.code, StatusCode::OK);
  EXPECT_EQ(first.get().code, StatusCode::OK);
  EXPECT_EQ(s.store.stored(), 2u);
}

TEST(GrpcReceiver, StopLetsCallsInProgressFinishThenCancelsThoseWaiting) {
  GrpcServed s({.threads = 1});
  s.store.set(Stored::kCommitted, true);
  auto in_store = s.start_call(kTraces, spans_request(1));
  s.store.wait_inside(1);
  auto waiting = s.start_call(kTraces, spans_request(2));
  std::this_thread::sleep_for(100ms);  // for it to reach the queue
  std::thread release([&] {
    std::this_thread::sleep_for(500ms);
    s.store.set(Stored::kCommitted);
  });
  auto t0 = std::chrono::steady_clock::now();
  s.grpc->stop(200ms);
  auto took = std::chrono::steady_clock::now() - t0;
  release.join();
  // The export in the store is waited for; the one waiting for the thread is not stored.
  EXPECT_GE(took, 400ms);
  EXPECT_LT(took, 5s);
  EXPECT_EQ(s.store.stored(), 1u);
  EXPECT_NE(waiting.get().code, StatusCode::OK);
  in_store.get();
  EXPECT_EQ(s.call(kTraces, spans_request(1)).code, StatusCode::UNAVAILABLE);
  EXPECT_EQ(s.budget.used(), 0u);
}

TEST(GrpcReceiver, PortInUseIsAnError) {
  GrpcServed s;
  std::string port = std::to_string(s.grpc->port());
  auto second = GrpcReceiver::start("127.0.0.1", static_cast<uint16_t>(s.grpc->port()), {},
                                    s.receiver, s.budget, [](std::string_view) { return true; });
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().text(),
            "cannot listen for OTLP/gRPC on 127.0.0.1:" + port + ": Address already in use");
}

}  // namespace
}  // namespace tracedx
