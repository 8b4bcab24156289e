"""Builds the inputs of a certification and prints what was made."""

from ruvo_safety import CertifierConfig, SimpleAction, StateDelta


def main():
    deltas = [
        StateDelta("scope_score", 1.0, 0.4),
        StateDelta("reversibility_score", 1.0, 0.95),
        StateDelta("budget", 0.0, 50.0),
    ]
    for delta in deltas:
        print(repr(delta))

    action = SimpleAction("act-1", "agent-1", deltas)
    print(repr(action))
    print("deltas held by the action:", action.state_deltas)

    print(repr(CertifierConfig()))
    print(repr(CertifierConfig(safe_threshold=0.8, caution_threshold=0.4, block_threshold=0.15)))


if __name__ == "__main__":
    main()
