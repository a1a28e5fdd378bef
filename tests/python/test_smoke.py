def test_claim_then_status(state):
    assert state.claim_file("a", "x") == "a"
    assert state.status("a") == "busy"
