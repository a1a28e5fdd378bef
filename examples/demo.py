"""A first look at durnel_core: one shared CoordinationState, a few agents."""
import durnel_core
from durnel_core import CoordinationState

state = CoordinationState()
print(f"durnel_core exports {durnel_core.__all__}; created {state!r}")
print("agent-1 claims docs/a.txt ->", state.claim_file("agent-1", "docs/a.txt"))
print("status of agent-1:", state.status("agent-1"))
try:
    state.claim_file("agent-2", "docs/a.txt")
except RuntimeError as refusal:
    print("agent-2 is refused:", refusal)
print("agent-2 messages agent-1:", state.send_message("agent-2", "agent-1", "done with a.txt?"))
print("agent-1 drains its inbox:", state.drain_inbox("agent-1"))
state.release("agent-1", "file:docs/a.txt")
print("after release, agent-1 is", state.status("agent-1"))
