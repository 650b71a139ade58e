// Running the agents side by side beside the stand-in and taking their figures.
#include "bench/agent_run.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "bench/child_process.h"
#include "bench/web_road.h"

namespace bench {

namespace {

constexpr auto start_limit = std::chrono::seconds(15);
constexpr auto stop_limit = std::chrono::seconds(10);
constexpr auto call_limit = std::chrono::seconds(5);
// Lets freshly started agents finish what start-up left (first passes, page-ins).
constexpr auto settle_time = std::chrono::milliseconds(500);

struct running_agent {
    const agent_setup *setup = nullptr;
    child_process child;
    std::string owner;  // the unique name of its bus connection
    agent_figures figures;

    bool usable() const { return figures.problem.empty(); }
};

using agent_list = std::vector<std::unique_ptr<running_agent>>;

// A watch on the end of every agent in AGENTS; an ended one stays readable,
// so only those still of use are watched.
std::vector<fd_watch> end_watches(const agent_list &agents) {
    std::vector<fd_watch> watches;
    for (const auto &agent : agents) {
        if (agent->usable() && !agent->child.ended()) {
            watches.push_back({agent->child.exit_fd(), [] {}});
        }
    }
    return watches;
}

// Marks an agent that has ended before its time; true when there was one.
bool agent_lost(agent_list &agents) {
    for (const auto &agent : agents) {
        if (agent->usable() && agent->child.ended()) {
            agent->figures.problem = "ended during the run (see " + agent->setup->log_path + ")";
            return true;
        }
    }
    return false;
}

// Serves the bus for DURATION, or until an agent ends.
void serve_phase(DBusConnection *connection, agent_list &agents, clock::duration duration) {
    run_until(
        connection, clock::now() + duration, [&agents] { return agent_lost(agents); },
        end_watches(agents));
}

bool wait_ready(DBusConnection *connection, const bluez_standin &standin, running_agent &agent) {
    const standin_events before = standin.events();
    const auto ready = [&] {
        const standin_events &now = standin.events();
        return agent.child.ended() ||
               (now.registrations > before.registrations && !standin.last_agent_owner().empty() &&
                (!agent.setup->ready_on_set || now.property_sets > before.property_sets));
    };
    return run_until(connection, clock::now() + start_limit, ready,
                     {{agent.child.exit_fd(), [] {}}}) &&
           !agent.child.ended();
}

void start_agent(DBusConnection *connection, const bluez_standin &standin, running_agent &agent) {
    (void)fprintf(stderr, "starting %s\n", agent.setup->name.c_str());
    if (!agent.child.spawn(agent.setup->command, agent.setup->log_path)) {
        agent.figures.problem = "could not be started";
    } else if (wait_ready(connection, standin, agent)) {
        agent.owner = standin.last_agent_owner();
        (void)fprintf(stderr, "  pid %d (%s), bus name %s\n", static_cast<int>(agent.child.pid()),
                      process_name(agent.child.pid()).c_str(), agent.owner.c_str());
    } else if (agent.child.ended()) {
        agent.figures.problem = "ended during start-up (see " + agent.setup->log_path + ")";
    } else {
        agent.figures.problem = agent.setup->ready_on_set
                                    ? "did not register its agent and set Pairable within 15 s"
                                    : "did not register its agent within 15 s";
    }
}

void measure_idle(DBusConnection *connection, const bluez_standin &standin, agent_list &agents,
                  double seconds) {
    (void)fprintf(stderr, "idle for %g s\n", seconds);
    std::vector<cpu_counters> before(agents.size());
    std::vector<uint64_t> sets_before(agents.size());
    for (size_t i = 0; i < agents.size(); ++i) {
        sets_before[i] = standin.sets_from(agents[i]->owner);
        if (agents[i]->usable() && !read_cpu_counters(agents[i]->child.pid(), &before[i])) {
            agents[i]->figures.problem = "its CPU time cannot be read";
        }
    }
    serve_phase(
        connection, agents,
        std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds)));
    for (size_t i = 0; i < agents.size(); ++i) {
        cpu_counters after;
        if (agents[i]->usable() && read_cpu_counters(agents[i]->child.pid(), &after)) {
            agents[i]->figures.idle = cpu_between(before[i], after);
            agents[i]->figures.idle_sets_per_second =
                static_cast<double>(standin.sets_from(agents[i]->owner) - sets_before[i]) /
                agents[i]->figures.idle.seconds;
        }
    }
}

struct call_answer {
    bool answered = false;
    bool refused = false;
    clock::time_point at{};
};

// One AuthorizeService round trip; false (with the agent's problem set) when it failed.
bool time_authorization(DBusConnection *connection, bluez_standin &standin, running_agent &agent) {
    agent_figures &figures = agent.figures;
    // Shared, so that an answer arriving after the limit finds it still there.
    const auto answer = std::make_shared<call_answer>();
    const clock::time_point began = clock::now();
    if (!standin.authorize_service(agent.owner, [answer](DBusMessage *reply) {
            answer->at = clock::now();
            answer->answered = true;
            answer->refused = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR;
        })) {
        figures.problem = "its agent was no longer registered";
        return false;
    }
    run_until(connection, began + call_limit,
              [&] { return answer->answered || agent.child.ended(); });
    if (!answer->answered) {
        figures.problem = "an AuthorizeService call went unanswered for 5 s";
        return false;
    }
    if (answer->refused) {
        ++figures.authorize_refusals;
    } else {
        figures.authorize_us.push_back(to_microseconds(answer->at - began));
    }
    return true;
}

void time_calls(DBusConnection *connection, bluez_standin &standin, agent_list &agents,
                const run_options &options) {
    (void)fprintf(stderr, "%u AuthorizeService calls per agent, %u at a time\n", options.calls,
                  options.calls_per_turn);
    for (unsigned done = 0; done < options.calls; done += options.calls_per_turn) {
        const unsigned turn = std::min(options.calls_per_turn, options.calls - done);
        for (const auto &agent : agents) {
            for (unsigned i = 0; i < turn && agent->usable(); ++i) {
                time_authorization(connection, standin, *agent);
            }
        }
    }
}

// Pairings with and without a RequestConfirmation, on every daemon in turn,
// for the same reason as the calls.
void time_roads(DBusConnection *connection, bluez_standin &standin, agent_list &agents,
                unsigned pairings) {
    std::vector<std::pair<running_agent *, std::unique_ptr<web_road>>> roads;
    for (const auto &agent : agents) {
        if (agent->usable() && !agent->setup->pipe_dir.empty()) {
            roads.emplace_back(agent.get(), std::make_unique<web_road>(agent->setup->pipe_dir));
        }
    }
    (void)fprintf(stderr, "%u web pairings per daemon with a RequestConfirmation, %u without\n",
                  pairings, pairings);
    std::mt19937 random(pairings);  // the same pauses in every run
    std::vector<bool> going(roads.size(), true);
    for (unsigned i = 0; i < pairings; ++i) {
        for (size_t r = 0; r < roads.size(); ++r) {
            for (const bool confirmation : {true, false}) {
                going[r] = going[r] &&
                           roads[r].second->pair_once(connection, standin, confirmation, random);
            }
        }
    }
    for (auto &[agent, road] : roads) {
        agent->figures.roads = {road->times(true), road->times(false)};
    }
}

// Serves the bus (an agent may call BlueZ on its way out) until every agent
// in AGENTS has ended or DEADLINE has passed; true when all ended.
bool wait_for_ends(DBusConnection *connection, agent_list &agents, clock::time_point deadline) {
    for (;;) {
        std::vector<running_agent *> alive;
        std::vector<fd_watch> watches;
        for (const auto &agent : agents) {
            if (agent->child.pid() > 0 && !agent->child.ended()) {
                alive.push_back(agent.get());
                watches.push_back({agent->child.exit_fd(), [] {}});
            }
        }
        if (alive.empty()) {
            return true;
        }
        const auto one_ended = [&alive] {
            return std::any_of(alive.begin(), alive.end(),
                               [](running_agent *agent) { return agent->child.ended(); });
        };
        if (!run_until(connection, deadline, one_ended, watches)) {
            return false;
        }
    }
}

// SIGTERM, and SIGKILL for those still there after a grace time.
void end_agents(DBusConnection *connection, agent_list &agents) {
    for (const auto &agent : agents) {
        agent->child.signal(SIGTERM);
    }
    if (!wait_for_ends(connection, agents, clock::now() + stop_limit)) {
        for (const auto &agent : agents) {
            agent->child.signal(SIGKILL);
        }
        wait_for_ends(connection, agents, clock::now() + stop_limit);
    }
}

void read_memories(agent_list &agents, memory_use agent_figures::*which) {
    for (const auto &agent : agents) {
        if (agent->usable()) {
            read_memory(agent->child.pid(), &(agent->figures.*which));
        }
    }
}

}  // namespace

std::vector<agent_figures> run_agents(DBusConnection *connection, bluez_standin &standin,
                                      const std::vector<agent_setup> &setups,
                                      const run_options &options) {
    agent_list agents;
    for (const agent_setup &setup : setups) {
        agents.push_back(std::make_unique<running_agent>());
        agents.back()->setup = &setup;
        agents.back()->figures.name = setup.name;
        start_agent(connection, standin, *agents.back());
    }
    serve_phase(connection, agents, settle_time);
    read_memories(agents, &agent_figures::at_start);
    measure_idle(connection, standin, agents, options.idle_seconds);
    time_calls(connection, standin, agents, options);
    read_memories(agents, &agent_figures::after_calls);
    time_roads(connection, standin, agents, options.pairings);
    end_agents(connection, agents);
    std::vector<agent_figures> figures;
    for (const auto &agent : agents) {
        figures.push_back(std::move(agent->figures));
    }
    return figures;
}

}  // namespace bench
