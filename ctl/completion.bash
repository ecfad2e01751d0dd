# bash completion for orvanectl: commands, verbs, options, and object names from the server
# (users, groups, resources, net clients, NSS profiles, domains) where a name is expected.
_orvanectl_names() {
  local kind=$1
  orvanectl --json "$kind" list 2>/dev/null | sed -n 's/.*"name": "\([^"]*\)".*/\1/p'
}

_orvanectl() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local commands="login logout refresh whoami user group resource perm attr domain netclient nss audit backup health watch raw"
  local global="--server --domain --ca --cert --key --cert-password --json --xml --note --audit-code --timeout --help --version"

  case $prev in
    --ca|--cert|--key|--pfx|--password-file|--old-password-file|--out) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --server|--domain|--note|--audit-code|--timeout|--rename|--type|--flags|--addr|--descr|--uid|--gid|--home|--shell|--since|--until|--api|--code|--from-addr|--info|--count|--cert-password|--audit) return ;;
    --group|--member-of) COMPREPLY=($(compgen -W "$(_orvanectl_names group)" -- "$cur")); return ;;
    --user) COMPREPLY=($(compgen -W "$(_orvanectl_names user)" -- "$cur")); return ;;
    --parent) COMPREPLY=($(compgen -W "$(_orvanectl_names resource) $(_orvanectl_names domain)" -- "$cur")); return ;;
    --include) COMPREPLY=($(compgen -W "$(_orvanectl_names nss)" -- "$cur")); return ;;
    --on) COMPREPLY=($(compgen -W "domain user: group: resource: netclient:" -- "$cur")); compopt -o nospace 2>/dev/null; return ;;
  esac

  # The command and verb words typed so far (options and their values skipped).
  local i w cmd="" verb="" args=0
  for ((i = 1; i < cword; i++)); do
    w=${words[i]}
    case $w in
      --server|--domain|--ca|--cert|--key|--cert-password|--note|--audit-code|--timeout|--user|--password-file|--old-password-file|--flags|--rename|--parent|--type|--member-of|--group|--addr|--pfx|--descr|--on|--since|--until|--api|--code|--from-addr|--info|--out|--uid|--gid|--home|--shell|--include|--count|--audit) ((i++)); continue ;;
      -*) continue ;;
    esac
    if [ -z "$cmd" ]; then cmd=$w
    elif [ -z "$verb" ]; then verb=$w
    else args=$((args + 1)); [ "$args" = 1 ] && verb="$verb $w"
    fi
  done

  if [[ $cur == -* ]]; then
    local opts
    opts=$(orvanectl $cmd $verb --help 2>/dev/null | grep -o -- '--[a-z-]*' | sort -u)
    COMPREPLY=($(compgen -W "$opts $global" -- "$cur"))
    return
  fi
  if [ -z "$cmd" ]; then
    COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    return
  fi
  local verbs
  case $cmd in
    user) verbs="add list show edit passwd rm" ;;
    group) verbs="add list show edit rm members" ;;
    resource|netclient|domain) verbs="add list show edit rm"; [ "$cmd" = netclient ] && verbs="$verbs pfx" ;;
    perm) verbs="grant revoke list check" ;;
    attr) verbs="list get add set rm" ;;
    nss) verbs="add list show edit rm user group" ;;
    audit) verbs="list export clear" ;;
    backup) verbs="create list restore rm" ;;
    *) verbs="" ;;
  esac
  if [ -z "$verb" ]; then
    COMPREPLY=($(compgen -W "$verbs" -- "$cur"))
    return
  fi
  case "$cmd $verb" in
    "group members") COMPREPLY=($(compgen -W "list add remove" -- "$cur")) ;;
    "nss user"|"nss group") COMPREPLY=($(compgen -W "add rm" -- "$cur")) ;;
    "user show"*|"user edit"*|"user passwd"*|"user rm"*) COMPREPLY=($(compgen -W "$(_orvanectl_names user)" -- "$cur")) ;;
    "group show"*|"group edit"*|"group rm"*|"group members"*) COMPREPLY=($(compgen -W "$(_orvanectl_names group) $(_orvanectl_names user)" -- "$cur")) ;;
    "resource show"*|"resource edit"*|"resource rm"*|"perm grant"*|"perm revoke"*|"perm list"*) COMPREPLY=($(compgen -W "$(_orvanectl_names resource)" -- "$cur")) ;;
    "netclient show"*|"netclient edit"*|"netclient rm"*|"netclient pfx"*) COMPREPLY=($(compgen -W "$(_orvanectl_names netclient)" -- "$cur")) ;;
    "nss show"*|"nss edit"*|"nss rm"*) COMPREPLY=($(compgen -W "$(_orvanectl_names nss)" -- "$cur")) ;;
    "domain show"*|"domain edit"*|"domain rm"*) COMPREPLY=($(compgen -W "$(_orvanectl_names domain)" -- "$cur")) ;;
    "raw"*) COMPREPLY=($(compgen -f -- "$cur")) ;;
  esac
}
complete -F _orvanectl orvanectl
