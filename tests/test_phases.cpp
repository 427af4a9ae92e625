// The three phases over a chain of recording actions: order, progress
// figures, and what a failure stops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "driver/action_chain.h"
#include "base/progress.h"
#include "driver/run_update.h"
#include "base/status.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

std::vector<std::string> calls;
std::vector<float> percents_at_execute;

struct RecordingAction : ManifestAction {
  int id;
  int prepare_result = OK;
  int execute_result = OK;
  explicit RecordingAction(int i) : id(i) {}
  ~RecordingAction() override { calls.push_back("destroy " + std::to_string(id)); }
  int ParseLine(char*) override { return OK; }
  int Prepare() override {
    calls.push_back("prepare " + std::to_string(id));
    return prepare_result;
  }
  int Execute() override {
    calls.push_back("execute " + std::to_string(id));
    percents_at_execute.push_back(progress_percent.load());
    return execute_result;
  }
  int Finish(int status) override {
    calls.push_back("finish " + std::to_string(id) + " " + std::to_string(status));
    return 0;
  }
};

struct PhasesTest : ::testing::Test {
  TempDir dir;
  ActionChain chain;
  std::vector<RecordingAction*> actions;
  PhasesTest() {
    calls.clear();
    percents_at_execute.clear();
    progress_percent = 0;
    log_file = fopen((dir / "log").c_str(), "w");
  }
  ~PhasesTest() override {
    action_chain_destroy(&chain);
    fclose(log_file);
    log_file = nullptr;
  }
  void add(int n) {
    for (int i = 0; i < n; i++) {
      actions.push_back(new RecordingAction(static_cast<int>(actions.size()) + 1));
      action_chain_append(&chain, actions.back());
    }
  }
  std::string log() {
    fflush(log_file);
    return read_file(dir / "log");
  }
};

TEST_F(PhasesTest, FortyNineActionsStepFromOneTowardsNinetyNine) {
  add(49);
  EXPECT_EQ(run_phases(&chain), OK);
  ASSERT_EQ(percents_at_execute.size(), 49u);
  for (int i = 0; i < 49; i++) EXPECT_FLOAT_EQ(percents_at_execute[i], 1.0f + 2 * i) << i;
  EXPECT_EQ(progress_percent.load(), 100.0f);
  EXPECT_EQ(log(), "");
}

TEST_F(PhasesTest, FailingExecuteStopsLaterActionsButFinishesAll) {
  add(5);
  actions[2]->execute_result = ERR_WRITE;
  EXPECT_EQ(run_phases(&chain), ERR_WRITE);
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "prepare 1", "prepare 2", "prepare 3", "prepare 4", "prepare 5",
                       "execute 1", "execute 2", "execute 3", "finish 1 7", "finish 2 7",
                       "finish 3 7", "finish 4 7", "finish 5 7"}));
  EXPECT_EQ(log(), "### execution failed\n");
  action_chain_destroy(&chain);
  EXPECT_EQ(calls.back(), "destroy 5");
  EXPECT_EQ(calls[calls.size() - 5], "destroy 1");
}

TEST_F(PhasesTest, FailingPrepareRunsNoExecuteAndNoFinish) {
  add(3);
  actions[1]->prepare_result = ERR_CRC_MISMATCH;
  EXPECT_EQ(run_phases(&chain), ERR_CRC_MISMATCH);
  EXPECT_EQ(calls, (std::vector<std::string>{"prepare 1", "prepare 2"}));
  EXPECT_EQ(progress_percent.load(), 0.0f);
}

TEST_F(PhasesTest, EmptyChainSucceedsAtOneHundred) {
  EXPECT_EQ(run_phases(&chain), OK);
  EXPECT_EQ(progress_percent.load(), 100.0f);
  EXPECT_TRUE(calls.empty());
}

}  // namespace
