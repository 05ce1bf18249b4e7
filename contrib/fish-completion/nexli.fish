# fish completion for nexli and nexla
#
#   nexli <Tab>             the command switches: /Q /Q: /S: /F: /G: ...
#   nexli /G:<Tab>          the control ports present: /G:ttyUSB0 /G:ttyUSB3
#   nexli /G:ttyUSB0 <Tab>  the options of the command: -B -H -J
#   nexli /S:ttyUSB0 <Tab>  state expressions: 1: 0: T: B: H: C: 1:ALL ...
#
# The same as the bash completion offers. Words match with no regard to case,
# as nexli reads switches, options and expressions.

# Prints the words that may stand at the cursor, one a line.
function __nexli_complete
    set -l words (commandline -opc)
    set -l typed (commandline -ct)
    set -l offered
    if test (count $words) -eq 1
        if string match -qir '^/[QSFGPWDR].' -- $typed
            # A switch and its separator: the control port follows.
            for device in /dev/ttyUSB*
                set -a offered (string sub -l 3 -- $typed)(string replace /dev/ '' -- $device)
            end
        else
            set offered /Q /Q: /S: /F: /G: /P: /W: /D: /R: '/?' /H
        end
    else
        set -l letter (string sub -s 2 -l 1 -- $words[2] | string upper)
        switch "$letter"
            case Q
                test (count $words) -eq 2; and set offered -F -J
            case G
                test (count $words) -eq 2; and set offered -B -H -J
            case S F
                # The states, after an optional password. Only /S power-cycles
                # ports (C:): a cycle is nothing to save to flash.
                if test (count $words) -le 3
                    set offered 1: 0: T: B: H: 1:ALL 0:ALL T:ALL
                    test $letter = S; and set -a offered C: C:ALL
                end
        end
    end
    set -l start '^'(string escape --style=regex -- $typed)
    for word in $offered
        string match -qir -- $start $word; or continue
        # An expression letter and its ":" typed in full ("B:") is no
        # completion of itself: what follows is up to the user.
        string match -q -- '*:' $word; and string match -qir -- $start'$' $word
        and continue
        printf '%s\n' $word
    end
end

complete -c nexli -f -a '(__nexli_complete)'
complete -c nexla -f -a '(__nexli_complete)'
